#pragma once

#include <QString>

#include <optional>

// The arguments of a "testport" command: [in|out] tcp|udp PORT [TIMEOUT_MS], searched anywhere
// in the text, case-insensitively.
class TestPortRequest
{
public:
    static constexpr int DefaultTimeout = 5000;

    // Empty when the pattern is not found or the port lies outside 1 to 65535.
    static std::optional<TestPortRequest> parse(const QString &arguments);

    quint16 port = 0;
    int protocol = 0;  // 0 TCP, 1 UDP
    int direction = 0; // 0 in, 1 out
    int timeout = DefaultTimeout;
};
