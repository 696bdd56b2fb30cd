#pragma once

#include "net/logthrottle.h"

#include <QHash>
#include <QHostAddress>
#include <QString>

// Counts open connections per client (connectionLimitKey(): an IPv4 address, an IPv6 /64) and
// refuses more than the limit; its refusals are logged under LogThrottle's policy.
//
// Threading: not shared; each server uses its own from its own thread.
class ConnectionLimiter
{
public:
    // maxPerKey 0: no limit.
    explicit ConnectionLimiter(int maxPerKey) : m_max_per_key(maxPerKey) {}

    // Counts the peer in, or refuses it (false) when its key is at the limit.
    bool admit(const QHostAddress &peer);
    // Counts out a connection admit() counted in.
    void release(const QHostAddress &peer);
    int count(const QHostAddress &peer) const;

    // Whether to log a refusal for `key` now, and how many went unlogged before (LogThrottle).
    std::optional<qint64> admitRefusalLog(const QString &key) { return m_refusal_log.admit(key); }

private:
    int m_max_per_key;
    QHash<QString, int> m_counts;
    LogThrottle m_refusal_log;
};
