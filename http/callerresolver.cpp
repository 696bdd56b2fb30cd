#include "http/callerresolver.h"

#include "net/peeraddress.h"

#include <QList>

#include <algorithm>

namespace {
// Only the standard dotted-quad form: "127.1", "2130706433", "0x7f000001" and "010.0.0.1" read
// differently in different parsers, so none of them is taken.
bool isDottedQuad(QByteArrayView text)
{
    int parts = 0;
    for (const QByteArrayView part : QByteArrayView(text).toByteArray().split('.')) {
        if (part.isEmpty() || part.size() > 3 || (part.size() > 1 && part[0] == '0') ||
            !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
            part.toInt() > 255)
            return false;
        ++parts;
    }
    return parts == 4;
}

bool isIpv6Text(QByteArrayView text)
{
    return text.contains(':') && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
                      c == ':' || c == '.';
           });
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

std::optional<QHostAddress> CallerResolver::callerOf(const QHostAddress &peer,
                                                     const QByteArray &forwardedFor) const
{
    const QHostAddress tcpPeer = plainAddress(peer);
    if (forwardedFor.trimmed().isEmpty() || !isTrusted(tcpPeer))
        return tcpPeer;
    const QList<QByteArray> entries = forwardedFor.split(',');
    QHostAddress caller;
    for (auto it = entries.crbegin(); it != entries.crend(); ++it) {
        caller = parseEntry(*it);
        if (caller.isNull())
            return std::nullopt;
        if (!isTrusted(caller))
            return caller;
    }
    return caller;
}

QHostAddress CallerResolver::parseEntry(QByteArrayView entry)
{
    entry = entry.trimmed();
    QByteArrayView host = entry;
    if (entry.startsWith('[')) {
        const qsizetype close = entry.indexOf(']');
        const QByteArrayView after = close < 0 ? QByteArrayView() : entry.sliced(close + 1);
        if (close < 0 || !(after.isEmpty() || (after.startsWith(':') && isPort(after.sliced(1)))))
            return {};
        host = entry.sliced(1, close - 1);
        if (!isIpv6Text(host))
            return {};
    } else if (entry.count(':') == 1) {
        host = entry.first(entry.indexOf(':'));
        if (!isPort(entry.sliced(host.size() + 1)) || !isDottedQuad(host))
            return {};
    } else if (!isDottedQuad(host) && !isIpv6Text(host)) {
        return {};
    }
    QHostAddress address;
    if (!address.setAddress(QString::fromLatin1(host)))
        return {};
    address = plainAddress(address);
    if (address.isNull() || address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6 ||
        address.isMulticast() || address.isBroadcast())
        return {};
    return address;
}
