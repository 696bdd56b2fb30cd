#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>

// Who is asking: the TCP peer, or, when that peer is a trusted reverse proxy, the address the
// proxies put in X-Forwarded-For. Connect-backs go to that address and nowhere else.
class CallerResolver
{
public:
    explicit CallerResolver(const QList<QHostAddress> &trustedProxies = {});

    bool isTrusted(const QHostAddress &address) const;
    // The header is believed only from a trusted peer; then the caller is its right-most
    // address that is not itself a trusted proxy (all trusted: the left-most). An entry that is
    // not an address makes the header worthless, and the peer is the caller.
    QHostAddress callerOf(const QHostAddress &peer, const QByteArray &forwardedFor) const;

private:
    static QHostAddress parseEntry(QByteArray entry);

    QList<QHostAddress> m_trusted;
};
