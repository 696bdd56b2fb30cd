#include "net/peeraddress.h"

#include <QAbstractSocket>

#include <algorithm>
#include <iterator>

using namespace Qt::StringLiterals;

QHostAddress plainAddress(const QHostAddress &address)
{
    bool mapped = false;
    const quint32 ipv4 =
        address.protocol() == QAbstractSocket::IPv6Protocol ? address.toIPv4Address(&mapped) : 0;
    return mapped ? QHostAddress(ipv4) : address;
}

QHostAddress plainPeerAddress(const QAbstractSocket &socket)
{
    return plainAddress(socket.peerAddress());
}

QString connectionLimitKey(const QHostAddress &address)
{
    const QHostAddress plain = plainAddress(address);
    if (plain.protocol() != QAbstractSocket::IPv6Protocol)
        return plain.toString();
    Q_IPV6ADDR prefix = plain.toIPv6Address();
    std::fill(std::begin(prefix.c) + 8, std::end(prefix.c), quint8(0));
    return QHostAddress(prefix).toString() + u"/64"_s;
}
