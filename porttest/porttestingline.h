#pragma once

#include <QString>

#include <optional>

// A "porttesting" line as the peer sends it: direction, protocol, port and an optional status,
// searched anywhere in the text, case-insensitively; at most one blank before the status.
class PortTestingLine
{
public:
    static std::optional<PortTestingLine> parse(const QString &text);

    int direction = 0; // 0 in, 1 out
    int protocol = 0;  // 0 TCP, 1 UDP
    int port = -1;     // -1 when the digits do not fit a number, so no test's port matches
    QString status;    // "success", "failure", "timeout" or empty
};
