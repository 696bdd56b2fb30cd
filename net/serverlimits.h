#pragma once

#include <QtGlobal>

// What one client may cost the service (VX_MAX_CONNECTIONS_PER_ADDRESS, VX_MAX_TEST_TIME_MS).
struct ServerLimits
{
    static constexpr int DefaultMaxConnectionsPerAddress = 64;
    static constexpr int DefaultMaxTestTimeMs = 60000;

    // 0: no limit.
    int maxConnectionsPerAddress = DefaultMaxConnectionsPerAddress;
    // Longer time limits asked for are cut to it; INT_MAX for no limit.
    int maxTestTimeMs = DefaultMaxTestTimeMs;
};
