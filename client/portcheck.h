#pragma once

#include "protocol/controlprotocol.h"

#include <QString>
#include <QtGlobal>

class PortTestingLine;

// One check the tool runs: a protocol, a port and a direction seen from this machine.
struct PortCheck
{
    ControlProtocol::Protocol protocol = ControlProtocol::Tcp;
    quint16 port = 0;
    ControlProtocol::Direction direction = ControlProtocol::In;

    QString protocolName() const;
    QString directionName() const;
    // The direction in plain words: "tester to here" (in) or "here to tester" (out).
    QString wayName() const;
    // The server runs the opposite test: when this side listens, the server connects.
    ControlProtocol::Direction serverDirection() const;
    // Whether a "porttesting" line names the server's test of this check.
    bool isServerLine(const PortTestingLine &line) const;
};
