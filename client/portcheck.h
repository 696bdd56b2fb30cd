#pragma once

#include "porttest/porttest.h"

#include <QString>
#include <QtGlobal>

// One check the tool runs: a protocol, a port and a direction seen from this machine.
struct PortCheck
{
    PortTest::Protocol protocol = PortTest::Tcp;
    quint16 port = 0;
    PortTest::Direction direction = PortTest::In;

    QString protocolName() const;
    QString directionName() const;
    // The server runs the opposite test: when this side listens, the server connects.
    PortTest::Direction serverDirection() const;
    // Whether a "porttesting" line names the server's test of this check.
    bool isServerLine(int lineDirection, int lineProtocol, int linePort) const;
};
