#include "http/httpfrontdoor.h"

#include "http/frontdoorshared.h"
#include "http/httplistener.h"
#include "http/httplogging.h"

#include <QThread>

#include <utility>

HttpFrontDoor::HttpFrontDoor(const FrontDoorSettings &settings, const ServerLimits &limits,
                             PortReservation &reservation, DescriptorBudget &budget,
                             TesterMetrics &metrics, QObject *parent)
    : QObject(parent), m_shared(std::make_unique<FrontDoorShared>(
                           CallerResolver(settings.trustedProxies), limits.maxTestTimeMs,
                           limits.maxConnectionsPerAddress, settings.checksPerMinute, reservation,
                           budget, metrics)),
      m_listener(
          std::make_unique<HttpListener>(*m_shared, settings.threads, QStringLiteral("vx-http")))
{
}

HttpFrontDoor::~HttpFrontDoor()
{
    m_listener.reset();
}

bool HttpFrontDoor::serve(std::unique_ptr<QTcpServer> listener)
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (!m_listener->serve(std::move(listener)))
        return false;
    qCDebug(lcHttp, "HttpFrontDoor: listening on port %d with %d threads",
            int(m_listener->serverPort()), m_listener->threads());
    return true;
}

quint16 HttpFrontDoor::serverPort() const
{
    return m_listener->serverPort();
}

void HttpFrontDoor::setPaused(bool paused)
{
    m_shared->setPaused(paused);
}
