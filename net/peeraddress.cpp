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

QHostAddress strictAddress(QStringView text)
{
    if (text.contains(u':')) {
        // Hex digits, colons and an embedded IPv4 tail only: no scope, and no blanks, which the
        // system's parser would drop.
        const bool ipv6Text = std::all_of(text.begin(), text.end(), [](QChar c) {
            return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') ||
                   (c >= u'A' && c <= u'F') || c == u':' || c == u'.';
        });
        QHostAddress address;
        if (!ipv6Text || !address.setAddress(text.toString()) ||
            address.protocol() != QAbstractSocket::IPv6Protocol)
            return QHostAddress();
        return address;
    }
    const QList<QStringView> parts = text.split(u'.');
    if (parts.size() != 4)
        return QHostAddress();
    quint32 ipv4 = 0;
    for (const QStringView part : parts) {
        const bool digits =
            !part.isEmpty() && part.size() <= 3 &&
            std::all_of(part.begin(), part.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
        if (!digits || (part.size() > 1 && part.front() == u'0') || part.toUInt() > 255)
            return QHostAddress();
        ipv4 = ipv4 << 8 | part.toUInt();
    }
    return QHostAddress(ipv4);
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
