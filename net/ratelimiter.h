#pragma once

#include <QHash>
#include <QHostAddress>
#include <QMutex>
#include <QString>

#include <optional>

// A rate per client (connectionLimitKey(): an IPv4 address, an IPv6 /64) as a token bucket: a
// client may do `burst` things at once and then one every 60 / perMinute seconds. Used for the
// tests one address may run on the control port, and meant for the web door's checks as well.
//
// Memory is bounded: a bucket that has filled up again says nothing a fresh one would not, so it
// is dropped when room is needed; beyond `maxClients` buckets that are all still in use, the one
// least recently used goes (its client starts afresh: a crowd of that many addresses at once is
// outside what a rate per address can hold back anyway).
//
// Threading: any thread; every call takes m_mutex.
class RateLimiter
{
public:
    static constexpr int DefaultMaxClients = 65536;

    // perMinute > 0; burst 0: as many as perMinute.
    RateLimiter(int perMinute, int burst = 0, int maxClients = DefaultMaxClients);

    // Takes one token for the peer at `nowMs` (a monotonic clock in milliseconds). None when it
    // may go ahead; otherwise the whole seconds (at least 1) until it may.
    std::optional<int> take(const QHostAddress &peer, qint64 nowMs);
    // The same with the process's monotonic clock.
    std::optional<int> take(const QHostAddress &peer);

    int clientCount() const;

private:
    struct Bucket
    {
        double tokens = 0;
        qint64 updatedMs = 0;
    };

    void refill(Bucket &bucket, qint64 nowMs) const;
    void makeRoom(qint64 nowMs);

    const double m_per_ms;
    const double m_burst;
    const int m_max_clients;
    mutable QMutex m_mutex;
    QHash<QString, Bucket> m_buckets;
};
