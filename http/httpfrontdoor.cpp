#include "http/httpfrontdoor.h"

#include "http/frontdoorshared.h"
#include "http/httplogging.h"
#include "http/httpworker.h"

#include <QThread>

#include <utility>

HttpFrontDoor::HttpFrontDoor(const FrontDoorSettings &settings, const ServerLimits &limits,
                             PortReservation &reservation, DescriptorBudget &budget,
                             QObject *parent)
    : QObject(parent), m_threads(std::max(1, settings.threads)),
      m_shared(std::make_unique<FrontDoorShared>(
          CallerResolver(settings.trustedProxies), limits.maxTestTimeMs,
          limits.maxConnectionsPerAddress, settings.checksPerMinute, reservation, budget))
{
}

HttpFrontDoor::~HttpFrontDoor()
{
    stopLanes();
}

bool HttpFrontDoor::serve(std::unique_ptr<QTcpServer> listener)
{
    Q_ASSERT(QThread::currentThread() == thread());
    Q_ASSERT(listener && listener->isListening());
    m_listener = std::move(listener);
    // The workers accept from its descriptor themselves.
    m_listener->pauseAccepting();
    const int descriptor = int(m_listener->socketDescriptor());
    for (int i = 0; i < m_threads; ++i) {
        Lane lane{std::make_unique<QThread>(), std::make_unique<HttpWorker>(descriptor, *m_shared)};
        lane.thread->setObjectName(QStringLiteral("vx-http-%1").arg(i));
        lane.worker->moveToThread(lane.thread.get());
        lane.thread->start();
        bool started = false;
        // Waited for: once serve() returns, every descriptor the door keeps is open.
        QMetaObject::invokeMethod(
            lane.worker.get(), [&] { started = lane.worker->start(); },
            Qt::BlockingQueuedConnection);
        m_lanes.push_back(std::move(lane));
        if (!started) {
            stopLanes();
            return false;
        }
    }
    qCDebug(lcHttp, "HttpFrontDoor: listening on port %d with %d threads",
            int(m_listener->serverPort()), m_threads);
    return true;
}

quint16 HttpFrontDoor::serverPort() const
{
    return m_listener ? m_listener->serverPort() : 0;
}

void HttpFrontDoor::setPaused(bool paused)
{
    m_shared->setPaused(paused);
}

void HttpFrontDoor::stopLanes()
{
    for (Lane &lane : m_lanes) {
        QMetaObject::invokeMethod(lane.worker.get(), &HttpWorker::stop,
                                  Qt::BlockingQueuedConnection);
        lane.thread->quit();
        lane.thread->wait();
        lane.worker.reset();
    }
    m_lanes.clear();
}
