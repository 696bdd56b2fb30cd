#include "http/metricslistener.h"

#include "http/httplogging.h"
#include "http/metricshandler.h"

#include <utility>

MetricsListener::MetricsListener(const MetricsRegistry &registry, DescriptorBudget &budget,
                                 QObject *parent)
    : QObject(parent), m_registry(registry), m_budget(budget),
      // No floor: what it takes, it takes once and for good.
      m_share(budget.addShare(0)), m_limiter(MaxPerAddress),
      m_listener(*this, 1, QStringLiteral("vx-metrics"))
{
}

MetricsListener::~MetricsListener()
{
    // Its workers call this object: they end while it is whole.
    m_listener.stop();
    if (m_holds_descriptors)
        m_budget.give(m_share, MaxConnections);
}

bool MetricsListener::serve(std::unique_ptr<QTcpServer> listener)
{
    if (!m_holds_descriptors && !m_budget.take(m_share, MaxConnections)) {
        qCDebug(lcHttp, "MetricsListener: no descriptors to set aside for %d connections",
                MaxConnections);
        return false;
    }
    m_holds_descriptors = true;
    if (!m_listener.serve(std::move(listener)))
        return false;
    qCDebug(lcHttp, "MetricsListener: listening on port %d", int(m_listener.serverPort()));
    return true;
}

bool MetricsListener::admit(const QHostAddress &peer)
{
    const QMutexLocker lock(&m_mutex);
    return m_limiter.admit(peer);
}

void MetricsListener::release(const QHostAddress &peer)
{
    const QMutexLocker lock(&m_mutex);
    m_limiter.release(peer);
}

int MetricsListener::count(const QHostAddress &peer)
{
    const QMutexLocker lock(&m_mutex);
    return m_limiter.count(peer);
}

std::optional<qint64> MetricsListener::admitRefusalLog(const QString &key)
{
    const QMutexLocker lock(&m_mutex);
    return m_limiter.admitRefusalLog(key);
}

std::unique_ptr<HttpHandler> MetricsListener::createHandler(const QHostAddress &, LogThrottle &)
{
    return std::make_unique<MetricsHandler>(m_registry);
}
