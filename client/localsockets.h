#pragma once

#include "protocol/controlprotocol.h"

#include <QHostAddress>
#include <QList>

// What the kernel's socket tables (/proc/net) show of a port on this machine: the addresses
// that programs listen on (TCP) or have bound (UDP) with it. Read rather than probed by binding:
// a port below 1024 cannot be bound without privilege, in use or not.
class LocalSockets
{
public:
    static QList<QHostAddress> addressesOn(ControlProtocol::Protocol protocol, quint16 port);
    // Whether a socket bound to `bound` receives what arrives at `arrival`: the same address, or
    // a wildcard. An IPv6 wildcard counts for IPv4 too, as it does unless the program turned that
    // off, which the tables do not show.
    static bool receives(const QHostAddress &bound, const QHostAddress &arrival);
};
