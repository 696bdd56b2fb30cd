#include "server/porttesterserver.h"

#include "metrics/testermetrics.h"
#include "net/acceptpacing.h"
#include "net/descriptorbudget.h"
#include "net/logthrottle.h"
#include "net/peeraddress.h"
#include "net/ratelimiter.h"
#include "server/porttesthandler.h"
#include "server/serverlogging.h"

#include <QCoreApplication>
#include <QTcpSocket>
#include <QThread>

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <utility>

using namespace Qt::StringLiterals;

namespace {
// The most descriptors one served connection holds at once: its socket, its worker's wake-up
// (without which the worker's event loop cannot run and the process ends) and its running
// test's socket with the one connection that test accepts.
constexpr int kDescriptorsPerClient = 4;
} // namespace

PortTesterServer::PortTesterServer(const ServerLimits &limits, PortReservation &reservation,
                                   DescriptorBudget &budget, TesterMetrics &metrics,
                                   EventSink events, QObject *parent)
    : QObject(parent), m_limits(limits), m_reservation(reservation), m_budget(budget),
      m_share(budget.addShare(DescriptorBudget::DoorFloorPercent)), m_metrics(metrics),
      m_events(std::move(events)), m_limiter(limits.maxConnectionsPerAddress)
{
    if (limits.controlTestsPerMinute > 0)
        m_test_rate = std::make_unique<RateLimiter>(limits.controlTestsPerMinute);
    // Connections still open when the event loop ends are closed while the application object
    // exists: once it is gone, worker threads get no more events and could not wind down.
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &PortTesterServer::closeClients);
    m_accept_retry.setSingleShot(true);
    m_accept_retry.setInterval(AcceptPacing::RetryMs);
    connect(&m_accept_retry, &QTimer::timeout, this, &PortTesterServer::onAcceptRetry);
    m_trim_timer.setSingleShot(true);
    m_trim_timer.setInterval(AcceptPacing::TrimDelayMs);
    connect(&m_trim_timer, &QTimer::timeout, this, &PortTesterServer::onTrimMemory);
}

PortTesterServer::~PortTesterServer()
{
    closeClients();
}

void PortTesterServer::serve(std::unique_ptr<QTcpServer> listener)
{
    assertThread();
    Q_ASSERT(listener && listener->isListening());
    m_listener = std::move(listener);
    m_listener->setParent(nullptr);
    // QTcpServer retries an accept that failed for lack of descriptors at once, for as long as
    // the lack lasts, spinning the event loop: accept here instead, where a failure holds
    // accepting for a while.
    m_listener->pauseAccepting();
    m_accept_notifier.setSocket(m_listener->socketDescriptor());
    connect(&m_accept_notifier, &QSocketNotifier::activated, this,
            &PortTesterServer::onAcceptReady);
    m_accept_notifier.setEnabled(true);
}

quint16 PortTesterServer::serverPort() const
{
    return m_listener ? m_listener->serverPort() : 0;
}

void PortTesterServer::pause()
{
    assertThread();
    m_paused = true;
}

void PortTesterServer::resume()
{
    assertThread();
    m_paused = false;
}

void PortTesterServer::assertThread() const
{
    Q_ASSERT(QThread::currentThread() == thread());
}

void PortTesterServer::incomingConnection(qintptr socketDescriptor)
{
    using Refusal = TesterMetrics::Refusal;
    if (m_paused) {
        // Not served: close it now rather than leaking the descriptor.
        m_metrics.controlConnectionsRefusedTotal(Refusal::Paused).inc();
        refuse(socketDescriptor);
        return;
    }
    if (!takeDescriptors()) {
        logRefusal(QString(),
                   u"PortTesterServer: no descriptors to spare for %1 connections, closing the "
                   "new connection (sock_id = %2)"_s.arg(QString::number(m_clients.size() + 1),
                                                         QString::number(socketDescriptor)));
        m_metrics.controlConnectionsRefusedTotal(Refusal::Descriptors).inc();
        refuse(socketDescriptor);
        return;
    }
    serveConnection(socketDescriptor);
}

// Descriptors for one more connection. When the budget is short, idle connections (no test
// running or queued) make room, the one idle longest first: a crowd that only holds connections
// open cannot keep a client that wants a test out.
bool PortTesterServer::takeDescriptors()
{
    while (!m_budget.take(m_share, kDescriptorsPerClient)) {
        if (!closeIdlest())
            return false;
    }
    return true;
}

bool PortTesterServer::closeIdlest()
{
    auto idlest = m_clients.end();
    for (auto it = m_clients.begin(); it != m_clients.end(); ++it) {
        const PortTestHandler &handler = *it->second.handler;
        if (handler.isIdle() && (idlest == m_clients.end() ||
                                 handler.lastActiveMs() < idlest->second.handler->lastActiveMs()))
            idlest = it;
    }
    if (idlest == m_clients.end())
        return false;
    logRefusal(u"idle"_s, u"PortTesterServer: descriptors short, closing the idlest connection "
                          "(from %1)"_s.arg(idlest->second.peer.toString()));
    Client client = std::move(idlest->second);
    m_clients.erase(idlest);
    dispose(std::move(client));
    m_metrics.openConnections(TesterMetrics::Door::Control).dec();
    m_metrics.idleEvictionsTotal(TesterMetrics::Door::Control).inc();
    if (m_events)
        m_events(u"PortTesterServer: client-connection closed"_s);
    return true;
}

void PortTesterServer::logRefusal(const QString &key, const QString &message)
{
    if (const std::optional<qint64> unlogged = m_limiter.admitRefusalLog(key))
        qCDebug(lcServer, "%s%s", qPrintable(message),
                LogThrottle::unloggedNote(*unlogged, "refused").constData());
}

void PortTesterServer::serveConnection(qintptr socketDescriptor)
{
    Client client;
    client.socket = std::make_unique<QTcpSocket>();
    QTcpSocket *socket = client.socket.get();
    socket->setSocketDescriptor(socketDescriptor, QAbstractSocket::ConnectedState,
                                QIODevice::ReadWrite);
    client.peer = plainPeerAddress(*socket);
    if (!m_limiter.admit(client.peer)) {
        const QString key = connectionLimitKey(client.peer);
        logRefusal(key, u"PortTesterServer: %1 already has %2 connections, closing the new "
                        "connection (sock_id = %3)"_s.arg(
                            key, QString::number(m_limiter.count(client.peer)),
                            QString::number(socketDescriptor)));
        socket->abort();
        m_budget.give(m_share, kDescriptorsPerClient);
        m_metrics.controlConnectionsRefusedTotal(TesterMetrics::Refusal::PerAddress).inc();
        return;
    }
    // Lines go out as they are written: a client waits for each go line and reply.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Connected before the worker starts, so a connection that closes at once is still seen.
    connect(socket, &QTcpSocket::disconnected, this, &PortTesterServer::onDisconnected,
            Qt::AutoConnection);
    client.handler = std::make_unique<PortTestHandler>(socket, m_limits, m_reservation,
                                                       m_test_rate.get(), m_metrics, m_events);
    if (!client.handler->isServing()) {
        // Refused like a connection beyond the limits, and logged as sparingly.
        logRefusal(QString(), u"PortTesterServer: no worker thread for the connection from %1, "
                              "closing it"_s.arg(client.peer.toString()));
        dispose(std::move(client));
        m_metrics.controlConnectionsRefusedTotal(TesterMetrics::Refusal::Threads).inc();
        return;
    }
    if (m_events)
        m_events(u"\n\nPortTesterServer: client-connection established from %1 sock_id = %2"_s.arg(
            client.peer.toString(), QString::number(socketDescriptor)));
    m_clients.emplace(socket, std::move(client));
    m_metrics.controlConnectionsAcceptedTotal().inc();
    m_metrics.openConnections(TesterMetrics::Door::Control).inc();
}

void PortTesterServer::refuse(qintptr socketDescriptor)
{
    QTcpSocket refused;
    refused.setSocketDescriptor(socketDescriptor);
    refused.abort();
}

void PortTesterServer::onAcceptReady()
{
    for (int i = 0; i < AcceptPacing::Batch && !m_accept_held; ++i) {
        const int descriptor =
            ::accept4(int(m_listener->socketDescriptor()), nullptr, nullptr, SOCK_CLOEXEC);
        if (descriptor >= 0) {
            incomingConnection(descriptor);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        // Out of descriptors or kernel memory: the clients wait in the listen queue.
        qCDebug(lcServer, "PortTesterServer: accepting failed (%s), holding accepting",
                std::strerror(errno));
        holdAccepting();
        return;
    }
}

void PortTesterServer::holdAccepting()
{
    m_accept_notifier.setEnabled(false);
    m_accept_held = true;
    m_accept_retry.start();
}

void PortTesterServer::onAcceptRetry()
{
    if (!m_accept_held)
        return;
    m_accept_held = false;
    m_accept_retry.stop();
    qCDebug(lcServer, "PortTesterServer: descriptors free again, accepting resumed");
    m_accept_notifier.setEnabled(true);
}

void PortTesterServer::onDisconnected()
{
    assertThread();
    auto *socket = static_cast<QTcpSocket *>(sender());
    const auto it = m_clients.find(socket);
    if (it == m_clients.end()) {
        // A socket whose client was refused after it was connected to this slot.
        qCDebug(lcServer, "Could not find socket %d",
                socket ? static_cast<int>(socket->socketDescriptor()) : -1);
        return;
    }
    qCDebug(lcServer, "Deleting PortTestHandler");
    Client client = std::move(it->second);
    m_clients.erase(it);
    dispose(std::move(client));
    m_metrics.openConnections(TesterMetrics::Door::Control).dec();
    // Its descriptors are free now.
    onAcceptRetry();
    if (!m_trim_timer.isActive())
        m_trim_timer.start();
    if (m_events)
        m_events(u"PortTesterServer: client-connection closed"_s);
}

void PortTesterServer::onTrimMemory()
{
    AcceptPacing::trimMemory();
}

void PortTesterServer::closeClients()
{
    // No worker thread may outlive the server.
    auto clients = std::exchange(m_clients, {});
    for (auto &entry : clients)
        entry.second.handler->stopScheduling();
    for (auto &entry : clients) {
        qCDebug(lcServer, "Deleting PortTestHandler");
        dispose(std::move(entry.second));
        m_metrics.openConnections(TesterMetrics::Door::Control).dec();
        if (m_events)
            m_events(u"PortTesterServer: client-connection closed"_s);
    }
}

void PortTesterServer::dispose(Client client)
{
    // The handler's destructor ends the worker thread; then the socket is unhooked (freeing a
    // connected socket emits disconnected() again) and freed.
    client.handler.reset();
    client.socket->disconnect(this);
    client.socket.reset();
    m_limiter.release(client.peer);
    m_budget.give(m_share, kDescriptorsPerClient);
}
