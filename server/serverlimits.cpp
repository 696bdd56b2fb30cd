#include "server/serverlimits.h"

#include <QByteArray>

#include <limits>

namespace {
int readSetting(const char *name, int fallback)
{
    if (!qEnvironmentVariableIsSet(name))
        return fallback;
    const QByteArray text = qgetenv(name);
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    if (ok && value >= 0)
        return value;
    qDebug("ServerLimits: %s=\"%s\" is not a number of 0 or more, using %d", name,
           text.toPercentEncoding(" ").constData(), fallback);
    return fallback;
}
} // namespace

ServerLimits ServerLimits::fromEnvironment()
{
    ServerLimits limits;
    limits.maxConnectionsPerAddress =
        readSetting("VX_MAX_CONNECTIONS_PER_ADDRESS", DefaultMaxConnectionsPerAddress);
    limits.maxTestTimeMs = readSetting("VX_MAX_TEST_TIME_MS", DefaultMaxTestTimeMs);
    // 0 means no limit, as for the other settings.
    if (limits.maxTestTimeMs == 0)
        limits.maxTestTimeMs = std::numeric_limits<int>::max();
    return limits;
}
