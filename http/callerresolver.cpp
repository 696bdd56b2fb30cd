#include "http/callerresolver.h"

CallerResolver CallerResolver::fromEnvironment()
{
    const QByteArray text = qgetenv("VX_TRUSTED_PROXIES");
    QList<QHostAddress> trusted;
    for (const QByteArray &entry : text.split(',')) {
        if (entry.trimmed().isEmpty())
            continue;
        const QHostAddress address = parseEntry(entry);
        if (address.isNull()) {
            qDebug("CallerResolver: VX_TRUSTED_PROXIES=\"%s\" is not a list of addresses, "
                   "trusting no proxy",
                   text.toPercentEncoding(" ,").constData());
            return CallerResolver();
        }
        trusted.append(address);
    }
    return CallerResolver(trusted);
}

CallerResolver::CallerResolver(const QList<QHostAddress> &trustedProxies)
{
    for (const QHostAddress &address : trustedProxies)
        m_trusted.append(unmapped(address));
}

bool CallerResolver::isTrusted(const QHostAddress &address) const
{
    return m_trusted.contains(unmapped(address));
}

QHostAddress CallerResolver::callerOf(const QHostAddress &peer,
                                      const QByteArray &forwardedFor) const
{
    const QHostAddress tcpPeer = unmapped(peer);
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

QHostAddress CallerResolver::unmapped(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
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
    return unmapped(address);
}
