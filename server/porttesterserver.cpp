#include "porttesterserver.h"

#include "server/logevent.h"
#include "server/peeraddress.h"
#include "server/porttesthandler.h"

#include <QCoreApplication>
#include <QDir>
#include <QTcpSocket>
#include <QUdpSocket>

#include <sys/resource.h>
#include <sys/socket.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cerrno>
#include <cstring>
#include <utility>

using namespace Qt::StringLiterals;

namespace {
// The most descriptors one served connection holds at once: its socket, its worker's wake-up
// (without which the worker's event loop cannot run and the process ends) and its running
// test's socket with the one connection that test accepts.
constexpr int kDescriptorsPerClient = 4;
// Kept free beyond what served connections may take: the log, the journal, a refused
// connection for the moment it is accepted and closed.
constexpr int kDescriptorReserve = 16;
// How long refusals for one address (or for lack of descriptors) go unlogged after one is.
constexpr int kRefusalLogQuietMs = 10000;
constexpr int kListenBacklog = 4096;
// How long accepting waits for descriptors when no connection closes in the meantime.
constexpr int kAcceptRetryInterval = 250;
// How soon after connections have closed the memory they freed is given back to the system.
constexpr int kTrimDelay = 1000;
// Connections accepted in one go before the event loop gets its turn again.
constexpr int kAcceptBatch = 64;

int openDescriptors()
{
    return int(QDir(u"/proc/self/fd"_s)
                   .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
                   .size());
}

int descriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur > rlim_t(INT_MAX))
        return INT_MAX;
    return int(limit.rlim_cur);
}

// A kernel without IPv6 refuses IPv6 sockets, and Qt then listens on IPv4 alone where both
// families were asked for, without a word: asked first, so that the service can say so.
bool canBindIpv6()
{
    QUdpSocket probe;
    return probe.bind(QHostAddress::AnyIPv6, 0);
}
} // namespace

PortTesterServer::PortTesterServer(const QHostAddress &address, quint16 port,
                                   const ServerLimits &limits, QObject *parent)
    : QTcpServer(parent), m_limits(limits)
{
    // Connections still open when the event loop ends are closed while the application object
    // exists: once it is gone, worker threads get no more events and could not wind down.
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &PortTesterServer::closeClients);
    m_accept_retry.setSingleShot(true);
    m_accept_retry.setInterval(kAcceptRetryInterval);
    connect(&m_accept_retry, &QTimer::timeout, this, &PortTesterServer::onAcceptRetry);
    m_trim_timer.setSingleShot(true);
    m_trim_timer.setInterval(kTrimDelay);
    connect(&m_trim_timer, &QTimer::timeout, this, &PortTesterServer::onTrimMemory);
    // A burst of connections waits in the kernel while the workers start, instead of being
    // dropped and retried by the clients seconds later (the kernel caps it at its maximum).
    setListenBacklogSize(kListenBacklog);
    const bool listening = address.protocol() == QAbstractSocket::AnyIPProtocol
                               ? listenOnBothFamilies(port)
                               : listen(address, port);
    if (!listening) {
        // A dual-stack listener is named by the wildcard that covers both families.
        qDebug("%s\n", qPrintable(u"PortTesterServer() - listen(%1, %2) failed! Error: %3"_s.arg(
                           m_dual_stack ? u"::"_s : address.toString(), QString::number(port),
                           errorString())));
        return;
    }
    // QTcpServer retries an accept that failed for lack of descriptors at once, for as long as
    // the lack lasts, spinning the event loop: accept here instead, where a failure holds
    // accepting for a while.
    pauseAccepting();
    m_base_descriptors = openDescriptors();
    m_accept_notifier.setSocket(socketDescriptor());
    connect(&m_accept_notifier, &QSocketNotifier::activated, this,
            &PortTesterServer::onAcceptReady);
    m_accept_notifier.setEnabled(true);
}

// Decided once, here: tests follow their client's family, and an IPv6 client can only come
// through a dual-stack listener, so no test ever tries IPv6 on a host without it.
bool PortTesterServer::listenOnBothFamilies(quint16 port)
{
    m_dual_stack =
        canBindIpv6() && (listen(QHostAddress::Any, port) ||
                          serverError() != QAbstractSocket::UnsupportedSocketOperationError);
    if (m_dual_stack)
        return isListening();
    qDebug("PortTesterServer: this host has no IPv6, serving IPv4 clients only");
    return listen(QHostAddress::AnyIPv4, port);
}

PortTesterServer::~PortTesterServer()
{
    closeClients();
}

void PortTesterServer::pause()
{
    m_paused = true;
}

void PortTesterServer::resume()
{
    m_paused = false;
}

void PortTesterServer::incomingConnection(qintptr socketDescriptor)
{
    if (m_paused) {
        // Not served: close it now rather than leaking the descriptor.
        refuse(socketDescriptor);
        return;
    }
    // Counted, not probed: a worker takes its wake-up descriptor only once its thread runs, so
    // descriptors that look free now may already be owed to workers still starting.
    if (!hasDescriptorsForClient()) {
        logRefusal(QString(),
                   u"PortTesterServer: no descriptors to spare for %1 connections, closing the "
                   "new connection (sock_id = %2)"_s.arg(QString::number(m_clients.size() + 1),
                                                         QString::number(socketDescriptor)));
        refuse(socketDescriptor);
        return;
    }
    serve(socketDescriptor);
}

bool PortTesterServer::hasDescriptorsForClient() const
{
    const qint64 needed = qint64(m_base_descriptors) + kDescriptorReserve +
                          qint64(m_clients.size() + 1) * kDescriptorsPerClient;
    return needed <= descriptorLimit();
}

bool PortTesterServer::addressHasRoom(const QString &key) const
{
    return m_limits.maxConnectionsPerAddress <= 0 ||
           m_address_clients.value(key) < m_limits.maxConnectionsPerAddress;
}

void PortTesterServer::logRefusal(const QString &key, const QString &message)
{
    const auto quiet = m_refusal_log_quiet.constFind(key);
    if (quiet != m_refusal_log_quiet.cend() && !quiet->hasExpired())
        return;
    // Many addresses refused once each must not grow this without bound either.
    if (m_refusal_log_quiet.size() > 1024)
        m_refusal_log_quiet.removeIf([](auto entry) { return entry.value().hasExpired(); });
    m_refusal_log_quiet.insert(key, QDeadlineTimer(kRefusalLogQuietMs));
    qDebug("%s", qPrintable(message));
}

void PortTesterServer::serve(qintptr socketDescriptor)
{
    auto *socket = new QTcpSocket;
    socket->setSocketDescriptor(socketDescriptor, QAbstractSocket::ConnectedState,
                                QIODevice::ReadWrite);
    const QHostAddress address = plainPeerAddress(*socket);
    const QString peer = address.toString();
    const QString key = connectionLimitKey(address);
    if (!addressHasRoom(key)) {
        logRefusal(key, u"PortTesterServer: %1 already has %2 connections, closing the new "
                        "connection (sock_id = %3)"_s.arg(
                            key, QString::number(m_address_clients.value(key)),
                            QString::number(socketDescriptor)));
        socket->abort();
        delete socket;
        return;
    }
    // Lines go out as they are written: a client waits for each go line and reply.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Connected before the worker starts, so a connection that closes at once is still seen.
    connect(socket, &QTcpSocket::disconnected, this, &PortTesterServer::discardClient,
            Qt::AutoConnection);
    auto *handler = new PortTestHandler(socket, m_limits.maxTestTimeMs);
    if (!handler->isServing()) {
        // Refused like a connection beyond the limits, and logged as sparingly.
        logRefusal(QString(), u"PortTesterServer: no worker thread for the connection from %1, "
                              "closing it"_s.arg(peer));
        disposeOf(socket, handler);
        return;
    }
    logEvent(u"\n\nPortTesterServer: client-connection established from %1 sock_id = %2"_s.arg(
        peer, QString::number(socketDescriptor)));
    m_clients.insert(socket, handler);
    ++m_address_clients[key];
}

void PortTesterServer::refuse(qintptr socketDescriptor)
{
    QTcpSocket refused;
    refused.setSocketDescriptor(socketDescriptor);
    refused.abort();
}

void PortTesterServer::onAcceptReady()
{
    for (int i = 0; i < kAcceptBatch && !m_accept_held; ++i) {
        const int descriptor = ::accept4(int(socketDescriptor()), nullptr, nullptr, SOCK_CLOEXEC);
        if (descriptor >= 0) {
            incomingConnection(descriptor);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        // Out of descriptors or kernel memory: the clients wait in the listen queue.
        qDebug("PortTesterServer: accepting failed (%s), holding accepting", std::strerror(errno));
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
    qDebug("PortTesterServer: descriptors free again, accepting resumed");
    m_accept_notifier.setEnabled(true);
}

void PortTesterServer::discardClient()
{
    auto *socket = static_cast<QTcpSocket *>(sender());
    const auto it = socket ? m_clients.find(socket) : m_clients.end();
    if (it != m_clients.end()) {
        qDebug("Deleting PortTestHandler");
        PortTestHandler *handler = it.value();
        m_clients.erase(it);
        forgetClient(handler);
        disposeOf(socket, handler);
        // Its descriptors are free now.
        onAcceptRetry();
        if (!m_trim_timer.isActive())
            m_trim_timer.start();
    } else {
        qDebug("Could not find socket %d",
               socket ? static_cast<int>(socket->socketDescriptor()) : -1);
        if (socket)
            socket->deleteLater();
    }
    logEvent(u"PortTesterServer: client-connection closed"_s);
}

void PortTesterServer::onTrimMemory()
{
    // Each worker thread allocates from an arena of its own; after a burst of connections the
    // allocator keeps their freed memory unless asked to return it.
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

void PortTesterServer::closeClients()
{
    // No worker thread may outlive the server.
    const auto clients = std::exchange(m_clients, {});
    for (auto it = clients.cbegin(); it != clients.cend(); ++it) {
        qDebug("Deleting PortTestHandler");
        forgetClient(it.value());
        disposeOf(it.key(), it.value());
        logEvent(u"PortTesterServer: client-connection closed"_s);
    }
}

void PortTesterServer::forgetClient(const PortTestHandler *handler)
{
    const auto count =
        m_address_clients.find(connectionLimitKey(QHostAddress(handler->peerAddress())));
    if (count != m_address_clients.end() && --count.value() <= 0)
        m_address_clients.erase(count);
}

void PortTesterServer::disposeOf(QTcpSocket *socket, PortTestHandler *handler)
{
    // The handler's destructor ends the worker thread; only then is the socket, which belongs
    // to that thread, safe to free from here. Unhooked first: freeing a connected socket
    // emits disconnected() again.
    delete handler;
    socket->disconnect(this);
    delete socket;
}
