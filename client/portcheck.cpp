#include "client/portcheck.h"

#include "protocol/porttestingline.h"

QString PortCheck::protocolName() const
{
    return ControlProtocol::protocolName(protocol);
}

QString PortCheck::directionName() const
{
    return ControlProtocol::directionName(direction);
}

QString PortCheck::wayName() const
{
    return direction == ControlProtocol::In ? QStringLiteral("tester to here")
                                            : QStringLiteral("here to tester");
}

ControlProtocol::Direction PortCheck::serverDirection() const
{
    return ControlProtocol::opposite(direction);
}

bool PortCheck::isServerLine(const PortTestingLine &line) const
{
    return line.direction == serverDirection() && line.protocol == protocol && line.port == port;
}
