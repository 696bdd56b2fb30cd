#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>

#include <variant>

// Who is asking: the TCP peer, or, when that peer is a trusted reverse proxy, the address the
// proxies put in X-Forwarded-For. Connect-backs go to that address and nowhere else.
//
// Threading: const after construction; any thread may use it.
class CallerResolver
{
public:
    explicit CallerResolver(const QList<QHostAddress> &trustedProxies = {});

    // Why a trusted proxy's request names no caller; it is then refused, since a check of
    // anyone else (the proxy above all) would be worse.
    enum class Refusal {
        BadEntry, // an entry read on the way is not a plain unicast address
        NoClient, // no header, an empty one, or only trusted proxies in it
    };

    bool isTrusted(const QHostAddress &address) const;
    // The header is believed only from a trusted peer; then the caller is its right-most
    // address that is not itself a trusted proxy. Any other peer is the caller itself.
    std::variant<QHostAddress, Refusal> callerOf(const QHostAddress &peer,
                                                 const QByteArray &forwardedFor) const;

    // "a.b.c.d" (four decimal numbers 0-255, no leading zeros) or an IPv6 address, either with
    // a port ("a.b.c.d:p", "[v6]:p") or a bracketed IPv6 one without; no zone. Null unless it
    // is one host's address: not unspecified, multicast or broadcast.
    static QHostAddress parseEntry(QByteArrayView entry);

private:
    QList<QHostAddress> m_trusted;
};
