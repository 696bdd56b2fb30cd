#include "client/portcheck.h"

using namespace Qt::StringLiterals;

QString PortCheck::protocolName() const
{
    return protocol == PortTest::Tcp ? u"tcp"_s : u"udp"_s;
}

QString PortCheck::directionName() const
{
    return direction == PortTest::In ? u"in"_s : u"out"_s;
}

PortTest::Direction PortCheck::serverDirection() const
{
    return direction == PortTest::In ? PortTest::Out : PortTest::In;
}

bool PortCheck::isServerLine(int lineDirection, int lineProtocol, int linePort) const
{
    return lineDirection == serverDirection() && lineProtocol == protocol && linePort == port;
}
