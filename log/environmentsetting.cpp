#include "log/environmentsetting.h"

std::optional<qint64> EnvironmentSetting::number(const char *name, qint64 max,
                                                 QByteArray *malformed)
{
    malformed->clear();
    if (!qEnvironmentVariableIsSet(name))
        return std::nullopt;
    const QByteArray text = qgetenv(name);
    bool ok = false;
    const qint64 value = text.trimmed().toLongLong(&ok, 10);
    if (ok && value >= 0 && value <= max)
        return value;
    *malformed = QByteArray(1, '"').append(text.toPercentEncoding(" ")).append('"');
    return std::nullopt;
}
