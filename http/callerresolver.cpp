#include "http/callerresolver.h"

#include "net/peeraddress.h"

CallerResolver::CallerResolver(const QList<QHostAddress> &trustedProxies)
{
    for (const QHostAddress &address : trustedProxies)
        m_trusted.append(plainAddress(address));
}

bool CallerResolver::isTrusted(const QHostAddress &address) const
{
    return m_trusted.contains(plainAddress(address));
}

QHostAddress CallerResolver::callerOf(const QHostAddress &peer,
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
            return tcpPeer;
        if (!isTrusted(caller))
            return caller;
    }
    return caller;
}

// "a.b.c.d", "a.b.c.d:port", an IPv6 address, or one in brackets with or without a port; any
// scope is dropped, as a peer's address from elsewhere has none that means anything here.
QHostAddress CallerResolver::parseEntry(QByteArray entry)
{
    entry = entry.trimmed();
    if (entry.startsWith('[')) {
        const qsizetype close = entry.indexOf(']');
        entry = close > 0 ? entry.mid(1, close - 1) : QByteArray();
    } else if (entry.count(':') == 1) {
        entry.truncate(entry.indexOf(':'));
    }
    QHostAddress address;
    if (entry.isEmpty() || entry.contains('%') || !address.setAddress(QString::fromLatin1(entry)))
        return QHostAddress();
    return plainAddress(address);
}
