#pragma once

#include "protocol/controlprotocol.h"

#include <QString>

#include <optional>

// A "porttesting" line as the peer sends it: direction, protocol, port and an optional result,
// case-insensitively; at most one blank before the result. The text must be the line and nothing
// else (white space around it aside); only a failure may carry a reason after it.
class PortTestingLine
{
public:
    static std::optional<PortTestingLine> parse(const QString &text);

    // The line written out plainly: a go line, or a result line (without a reason).
    QString text() const;

    ControlProtocol::Direction direction = ControlProtocol::In;
    ControlProtocol::Protocol protocol = ControlProtocol::Tcp;
    int port = -1; // -1 when the digits do not fit a number, so no test's port matches
    std::optional<ControlProtocol::Result> result; // none in a go line
    // What follows "failure" (blanks and colons before it dropped): why the peer could not listen
    // or bind. Empty for the other results, and as the peer sent it, so escape it before showing.
    QString reason;
};
