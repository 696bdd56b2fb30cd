#include "net/connectionlimiter.h"

#include "net/peeraddress.h"

bool ConnectionLimiter::admit(const QHostAddress &peer)
{
    int &count = m_counts[connectionLimitKey(peer)];
    if (m_max_per_key > 0 && count >= m_max_per_key) {
        if (count == 0)
            m_counts.remove(connectionLimitKey(peer));
        return false;
    }
    ++count;
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
