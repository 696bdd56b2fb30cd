#include "net/ratelimiter.h"

#include "net/peeraddress.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <cmath>

RateLimiter::RateLimiter(int perMinute, int burst, int maxClients)
    : m_per_ms(std::max(perMinute, 1) / 60000.0),
      m_burst(burst > 0 ? burst : std::max(perMinute, 1)), m_max_clients(std::max(maxClients, 1))
{
}

void RateLimiter::refill(Bucket &bucket, qint64 nowMs) const
{
    const qint64 elapsed = std::max<qint64>(0, nowMs - bucket.updatedMs);
    bucket.tokens = std::min(m_burst, bucket.tokens + double(elapsed) * m_per_ms);
    bucket.updatedMs = nowMs;
}

std::optional<int> RateLimiter::take(const QHostAddress &peer, qint64 nowMs)
{
    const QString key = connectionLimitKey(peer);
    const QMutexLocker lock(&m_mutex);
    auto it = m_buckets.find(key);
    if (it == m_buckets.end()) {
        if (m_buckets.size() >= m_max_clients)
            makeRoom(nowMs);
        it = m_buckets.insert(key, Bucket{m_burst, nowMs});
    }
    refill(*it, nowMs);
    if (it->tokens >= 1.0) {
        it->tokens -= 1.0;
        return std::nullopt;
    }
    return std::max(1, int(std::ceil((1.0 - it->tokens) / m_per_ms / 1000.0)));
}

std::optional<int> RateLimiter::take(const QHostAddress &peer)
{
    return take(peer, QDeadlineTimer::current().deadline());
}

int RateLimiter::clientCount() const
{
    const QMutexLocker lock(&m_mutex);
    return int(m_buckets.size());
}

// Drops every bucket that is full again; when none is, the least recently used one. A scan of
// all buckets, but only once they reach maxClients, and it frees all the stale ones at once.
void RateLimiter::makeRoom(qint64 nowMs)
{
    const qint64 fullAfterMs = qint64(std::ceil(m_burst / m_per_ms));
    m_buckets.removeIf(
        [&](const auto &entry) { return nowMs - entry.value().updatedMs >= fullAfterMs; });
    if (m_buckets.size() < m_max_clients)
        return;
    const auto oldest = std::min_element(
        m_buckets.cbegin(), m_buckets.cend(),
        [](const Bucket &a, const Bucket &b) { return a.updatedMs < b.updatedMs; });
    m_buckets.erase(oldest);
}
