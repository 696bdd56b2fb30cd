#include "server/serverlimits.h"

#include "log/environmentsetting.h"

#include <QByteArray>

#include <limits>

namespace {
int readSetting(const char *name, int fallback)
{
    QByteArray malformed;
    if (const std::optional<qint64> value =
            EnvironmentSetting::number(name, std::numeric_limits<int>::max(), &malformed))
        return int(*value);
    if (!malformed.isEmpty())
        qDebug("ServerLimits: %s=%s is not a number of 0 or more, using %d", name,
               malformed.constData(), fallback);
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
