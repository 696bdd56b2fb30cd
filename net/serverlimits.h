#pragma once

#include <QtGlobal>

// What one client may cost the service (VX_MAX_CONNECTIONS_PER_ADDRESS, VX_MAX_TEST_TIME_MS,
// VX_CONTROL_IDLE_TIMEOUT_S, VX_CONTROL_TESTS_PER_MINUTE).
struct ServerLimits
{
    static constexpr int DefaultMaxConnectionsPerAddress = 64;
    static constexpr int DefaultMaxTestTimeMs = 60000;
    // Twice the longest test a client may ask for by default, and ample for a person at a
    // prompt; an idle crowd holds a thread per connection for no longer than this.
    static constexpr int DefaultControlIdleTimeoutS = 120;

    // 0: no limit.
    int maxConnectionsPerAddress = DefaultMaxConnectionsPerAddress;
    // Longer time limits asked for are cut to it; INT_MAX for no limit.
    int maxTestTimeMs = DefaultMaxTestTimeMs;
    // A control connection with no test running or queued and no line for this long is closed;
    // 0: never.
    int controlIdleTimeoutS = DefaultControlIdleTimeoutS;
    // Tests one address (an IPv6 /64) may start on the control port per minute, as many at once;
    // 0: no limit (the default: every request is served).
    int controlTestsPerMinute = 0;
};
