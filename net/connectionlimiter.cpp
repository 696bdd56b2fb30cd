#include "net/connectionlimiter.h"

#include "net/peeraddress.h"

bool ConnectionLimiter::admit(const QHostAddress &peer)
{
    const QString key = connectionLimitKey(peer);
    if (m_max_per_key > 0 && m_counts.value(key) >= m_max_per_key)
        return false;
    ++m_counts[key];
    return true;
}

void ConnectionLimiter::release(const QHostAddress &peer)
{
    const auto it = m_counts.find(connectionLimitKey(peer));
    if (it != m_counts.end() && --it.value() <= 0)
        m_counts.erase(it);
}

int ConnectionLimiter::count(const QHostAddress &peer) const
{
    return m_counts.value(connectionLimitKey(peer));
}
