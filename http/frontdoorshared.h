#pragma once

#include "http/callerresolver.h"
#include "http/frontdoorhandler.h"
#include "http/frontdoorroutes.h"
#include "http/httpservice.h"
#include "metrics/testermetrics.h"
#include "net/connectionlimiter.h"
#include "net/descriptorbudget.h"
#include "net/ratelimiter.h"

#include <QMutex>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>

class PortReservation;

// What the front door's worker threads share: the routes and who is trusted (fixed), the
// reservation and descriptor budget of the whole service, the paused flag, the count of open
// connections, the per-address counts, the rate of port checks per caller, and the figures it
// counts into; it makes each
// connection's FrontDoorHandler.
//
// Threading: any thread. The fixed parts are only read; the flag and the count are atomic; the
// per-address counts are guarded by m_mutex; the rate guards itself.
class FrontDoorShared final : public HttpService
{
public:
    // Connections served at once, whoever they come from.
    static constexpr int MaxConnections = 1024;
    // What one connection may hold at its most: its socket and its port check's socket.
    static constexpr int DescriptorsPerConnection = 2;

    // checksPerMinute: port checks per caller and minute, as many at once; 0: no limit.
    FrontDoorShared(const CallerResolver &callers, int maxCheckTimeMs, int maxPerAddress,
                    int checksPerMinute, PortReservation &reservation, DescriptorBudget &budget,
                    TesterMetrics &metrics)
        : m_callers(callers), m_routes(maxCheckTimeMs), m_reservation(reservation),
          m_budget(budget), m_share(budget.addShare(DescriptorBudget::DoorFloorPercent)),
          m_metrics(metrics), m_limiter(maxPerAddress),
          m_checks_per_minute(std::max(checksPerMinute, 0)),
          m_check_rate(m_checks_per_minute > 0 ? std::make_unique<RateLimiter>(m_checks_per_minute)
                                               : nullptr)
    {
    }

    // Counts the peer in, or refuses it when its address (an IPv6 /64) has the most it may
    // have; trusted proxies carry everyone's requests and are not counted.
    QString name() const override { return QStringLiteral("HttpFrontDoor"); }
    int maxConnections() const override { return MaxConnections; }
    bool admit(const QHostAddress &peer) override
    {
        if (m_callers.isTrusted(peer))
            return true;
        const QMutexLocker lock(&m_mutex);
        return m_limiter.admit(peer);
    }
    void release(const QHostAddress &peer) override
    {
        if (m_callers.isTrusted(peer))
            return;
        const QMutexLocker lock(&m_mutex);
        m_limiter.release(peer);
    }
    int count(const QHostAddress &peer) override
    {
        const QMutexLocker lock(&m_mutex);
        return m_limiter.count(peer);
    }
    std::optional<qint64> admitRefusalLog(const QString &key) override
    {
        const QMutexLocker lock(&m_mutex);
        return m_limiter.admitRefusalLog(key);
    }

    const CallerResolver &callers() const { return m_callers; }
    const FrontDoorRoutes &routes() const { return m_routes; }
    PortReservation &reservation() const { return m_reservation; }
    TesterMetrics &metrics() const { return m_metrics; }
    // Takes one port check for the caller (its address, or its IPv6 /64): none when it may run,
    // otherwise the seconds until it may. Counted whichever proxy the caller came through.
    std::optional<int> takeCheck(const QHostAddress &caller)
    {
        return m_check_rate ? m_check_rate->take(caller) : std::nullopt;
    }
    int checksPerMinute() const { return m_checks_per_minute; }
    // Descriptors for one more connection, from this door's share of the service's budget: each
    // door keeps a floor the other cannot take, however many clients crowd it.
    bool takeDescriptors() override;
    void giveDescriptors() override;
    bool isPaused() const { return m_paused.load(std::memory_order_relaxed); }
    void setPaused(bool paused) { m_paused.store(paused); }
    int openCount() const override { return m_open.load(std::memory_order_relaxed); }
    void countOpened() override
    {
        m_open.fetch_add(1);
        m_metrics.openConnections(TesterMetrics::Door::Web).inc();
    }
    void countClosed() override
    {
        m_open.fetch_sub(1);
        m_metrics.openConnections(TesterMetrics::Door::Web).dec();
    }
    void countIdleEviction() override
    {
        m_metrics.idleEvictionsTotal(TesterMetrics::Door::Web).inc();
    }
    std::unique_ptr<HttpHandler> createHandler(const QHostAddress &peer,
                                               LogThrottle &requestLog) override;

private:
    const CallerResolver m_callers;
    const FrontDoorRoutes m_routes;
    PortReservation &m_reservation;
    DescriptorBudget &m_budget;
    const DescriptorBudget::Share m_share;
    TesterMetrics &m_metrics;
    std::atomic<bool> m_paused = false;
    std::atomic<int> m_open = 0;
    QMutex m_mutex;
    ConnectionLimiter m_limiter;
    const int m_checks_per_minute;
    // Null: no limit.
    const std::unique_ptr<RateLimiter> m_check_rate;
};

inline bool FrontDoorShared::takeDescriptors()
{
    return m_budget.take(m_share, DescriptorsPerConnection);
}

inline std::unique_ptr<HttpHandler> FrontDoorShared::createHandler(const QHostAddress &peer,
                                                                   LogThrottle &requestLog)
{
    return std::make_unique<FrontDoorHandler>(peer, *this, requestLog);
}

inline void FrontDoorShared::giveDescriptors()
{
    m_budget.give(m_share, DescriptorsPerConnection);
}
