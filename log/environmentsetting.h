#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

// The VX_* settings read from the environment at start, one parser for all of them.
class EnvironmentSetting
{
public:
    // The setting as a number from 0 to max; none when it is not set or is not such a number.
    // In the latter case *malformed gets its text in double quotes (so never empty), made safe
    // for a log line, for the caller to report in its own words; otherwise it is emptied.
    static std::optional<qint64> number(const char *name, qint64 max, QByteArray *malformed);
};
