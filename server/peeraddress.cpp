#include "server/peeraddress.h"

#include <QAbstractSocket>

#include <algorithm>
#include <iterator>

using namespace Qt::StringLiterals;

QHostAddress plainPeerAddress(const QAbstractSocket &socket)
{
    const QHostAddress address = socket.peerAddress();
    bool mapped = false;
    const quint32 ipv4 =
        address.protocol() == QAbstractSocket::IPv6Protocol ? address.toIPv4Address(&mapped) : 0;
    return mapped ? QHostAddress(ipv4) : address;
}

QString connectionLimitKey(const QHostAddress &address)
{
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return address.toString();
    Q_IPV6ADDR prefix = address.toIPv6Address();
    std::fill(std::begin(prefix.c) + 8, std::end(prefix.c), quint8(0));
    return QHostAddress(prefix).toString() + u"/64"_s;
}
