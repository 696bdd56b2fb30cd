#include "http/callerresolver.h"

#include "net/peeraddress.h"

#include <QList>

#include <algorithm>

namespace {
// Only an address's standard text forms (strictAddress()): "127.1", "2130706433", "0x7f000001"
// and "010.0.0.1" read differently in different parsers, so none of them is taken.
QHostAddress standardAddress(QByteArrayView text, QAbstractSocket::NetworkLayerProtocol family)
{
    const QHostAddress address = strictAddress(QString::fromLatin1(text));
    return family == QAbstractSocket::AnyIPProtocol || address.protocol() == family
               ? address
               : QHostAddress();
}

bool isPort(QByteArrayView text)
{
    return !text.isEmpty() && text.size() <= 5 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
           text.toInt() <= 65535;
}
} // namespace

CallerResolver::CallerResolver(const QList<QHostAddress> &trustedProxies)
{
    for (const QHostAddress &address : trustedProxies)
        m_trusted.append(plainAddress(address));
}

bool CallerResolver::isTrusted(const QHostAddress &address) const
{
    return m_trusted.contains(plainAddress(address));
}

std::variant<QHostAddress, CallerResolver::Refusal>
CallerResolver::callerOf(const QHostAddress &peer, const QByteArray &forwardedFor) const
{
    const QHostAddress tcpPeer = plainAddress(peer);
    if (!isTrusted(tcpPeer))
        return tcpPeer;
    // A proxy that forwards no client is no caller either: checking it would test the tester's
    // own neighbourhood, and answering its address would mislead whoever is behind it.
    if (forwardedFor.trimmed().isEmpty())
        return Refusal::NoClient;
    const QList<QByteArray> entries = forwardedFor.split(',');
    for (auto it = entries.crbegin(); it != entries.crend(); ++it) {
        const QHostAddress caller = parseEntry(*it);
        if (caller.isNull())
            return Refusal::BadEntry;
        if (!isTrusted(caller))
            return caller;
    }
    return Refusal::NoClient;
}

QHostAddress CallerResolver::parseEntry(QByteArrayView entry)
{
    entry = entry.trimmed();
    QHostAddress address;
    if (entry.startsWith('[')) {
        const qsizetype close = entry.indexOf(']');
        const QByteArrayView after = close < 0 ? QByteArrayView() : entry.sliced(close + 1);
        if (close < 0 || !(after.isEmpty() || (after.startsWith(':') && isPort(after.sliced(1)))))
            return {};
        address = standardAddress(entry.sliced(1, close - 1), QAbstractSocket::IPv6Protocol);
    } else if (entry.count(':') == 1) {
        const QByteArrayView host = entry.first(entry.indexOf(':'));
        if (!isPort(entry.sliced(host.size() + 1)))
            return {};
        address = standardAddress(host, QAbstractSocket::IPv4Protocol);
    } else {
        address = standardAddress(entry, QAbstractSocket::AnyIPProtocol);
    }
    address = plainAddress(address);
    if (address.isNull() || address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6 ||
        address.isMulticast() || address.isBroadcast())
        return {};
    return address;
}
