#pragma once

#include "protocol/controlprotocol.h"

#include <QString>

#include <optional>

// The arguments of a "testport" command: [in|out] tcp|udp PORT [TIMEOUT_MS], searched anywhere
// in the text, case-insensitively.
class TestPortRequest
{
public:
    // Empty when the pattern is not found or the port lies outside 1 to 65535.
    static std::optional<TestPortRequest> parse(const QString &arguments);

    quint16 port = 0;
    ControlProtocol::Protocol protocol = ControlProtocol::Tcp;
    ControlProtocol::Direction direction = ControlProtocol::In;
    int timeout = ControlProtocol::DefaultTimeLimitMs;
};
