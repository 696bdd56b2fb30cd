#pragma once

#include <QtGlobal>

// What one client may cost the service, read from the environment at start:
// VX_MAX_CONNECTIONS_PER_ADDRESS and VX_MAX_TEST_TIME_MS (0: no limit for either).
struct ServerLimits
{
    static constexpr int DefaultMaxConnectionsPerAddress = 64;
    static constexpr int DefaultMaxTestTimeMs = 60000;

    // An unparsable value is reported in the debug log and the default used.
    static ServerLimits fromEnvironment();

    int maxConnectionsPerAddress = DefaultMaxConnectionsPerAddress;
    int maxTestTimeMs = DefaultMaxTestTimeMs;
};
