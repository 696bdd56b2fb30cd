#pragma once

#include "http/httplistener.h"
#include "http/httpservice.h"
#include "net/connectionlimiter.h"
#include "net/descriptorbudget.h"

#include <QMutex>
#include <QObject>
#include <QTcpServer>

#include <atomic>
#include <memory>

class MetricsRegistry;

// The operator's listener (VX_METRICS_LISTEN): answers GET and HEAD /metrics with the
// registry's scrape on the web engine, under its strictness and limits, from one worker thread.
// A scraper needs a connection or two: MaxConnections at once, MaxPerAddress of them from one
// address, and their descriptors set aside from the budget when it starts serving, so a crowd on
// the public doors cannot keep the operator from the figures.
//
// Threading: created, served and destroyed in one thread (the main thread); the HttpService
// members run in the worker thread and guard their state.
class MetricsListener : public QObject, public HttpService
{
    Q_OBJECT

public:
    static constexpr int MaxConnections = 4;
    static constexpr int MaxPerAddress = 2;
    static constexpr int ListenBacklog = 16;

    // `registry` and `budget` must outlive the listener.
    MetricsListener(const MetricsRegistry &registry, DescriptorBudget &budget,
                    QObject *parent = nullptr);
    // Closes every connection and ends the worker thread.
    ~MetricsListener() override;

    // Takes the listening socket over and serves it from now on; false when the budget has no
    // room for its connections or the worker thread could not start.
    bool serve(std::unique_ptr<QTcpServer> listener);
    quint16 serverPort() const { return m_listener.serverPort(); }

    QString name() const override { return QStringLiteral("MetricsListener"); }
    int maxConnections() const override { return MaxConnections; }
    bool admit(const QHostAddress &peer) override;
    void release(const QHostAddress &peer) override;
    int count(const QHostAddress &peer) override;
    std::optional<qint64> admitRefusalLog(const QString &key) override;
    // Set aside in serve(): nothing to take per connection.
    bool takeDescriptors() override { return true; }
    void giveDescriptors() override {}
    int openCount() const override { return m_open.load(std::memory_order_relaxed); }
    void countOpened() override { m_open.fetch_add(1); }
    void countClosed() override { m_open.fetch_sub(1); }
    void countIdleEviction() override {}
    std::unique_ptr<HttpHandler> createHandler(const QHostAddress &peer,
                                               LogThrottle &requestLog) override;

private:
    const MetricsRegistry &m_registry;
    DescriptorBudget &m_budget;
    const DescriptorBudget::Share m_share;
    bool m_holds_descriptors = false;
    std::atomic<int> m_open = 0;
    QMutex m_mutex; // guards m_limiter
    ConnectionLimiter m_limiter;
    HttpListener m_listener;
};
