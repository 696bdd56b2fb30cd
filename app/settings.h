#pragma once

#include "http/frontdoorsettings.h"
#include "net/serverlimits.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <optional>

// Every VX_* setting of the service, read once from the environment at start and handed to the
// parts that need it; nothing else reads the environment for settings.
class Settings
{
public:
    static constexpr qint64 DefaultDebugLogMaxBytes = 64 * 1024 * 1024;

    // A setting that is set but empty counts as not set (a blank line of the unit's
    // environment file). An unusable one leaves its default here and adds a line to problems().
    static Settings fromEnvironment();

    // VX_CONTROL_PORT; none: the default port.
    std::optional<quint16> controlPort;
    // VX_DEBUGLOG_MAX_BYTES; 0: unbounded.
    qint64 debugLogMaxBytes = DefaultDebugLogMaxBytes;
    // VX_DEBUGLOG_DIR; empty: the temporary directory.
    QString debugLogDirectory;
    ServerLimits limits;
    FrontDoorSettings frontDoor;

    // Where a listener is told to listen.
    struct Listen
    {
        QHostAddress address;
        quint16 port = 0; // 0: any free port
    };
    // VX_METRICS_LISTEN; none: no metrics listener.
    std::optional<Listen> metricsListen;

    // One line per unusable setting, naming it, its value and what is allowed:
    // VX_HTTP_PORT: "8o80" is not a port number (1 to 65535)
    QStringList problems() const { return m_problems; }

private:
    // `note` follows the range in the message: "; 0: no limit".
    std::optional<qint64> number(const char *name, qint64 min, qint64 max, const QString &what,
                                 const QString &note = {});
    std::optional<quint16> port(const char *name);
    void readDebugLogDirectory();
    void readTrustedProxies();
    void readMetricsListen();
    void complain(const char *name, const QByteArray &value, const QString &what);

    QStringList m_problems;
};
