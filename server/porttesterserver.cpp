#include "porttesterserver.h"

#include "server/descriptorprobe.h"
#include "server/porttesthandler.h"
#include "service/qtservice.h"

#include <QCoreApplication>
#include <QTcpSocket>

#include <sys/socket.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cerrno>
#include <cstring>
#include <utility>

using namespace Qt::StringLiterals;

namespace {
// Descriptors that must be free before a connection gets a worker: the worker's event loop
// needs one for its wake-ups and cannot run without it, and the tests of connections already
// served need some room too.
constexpr int kDescriptorHeadroom = 16;
constexpr int kListenBacklog = 4096;
// How long accepting waits for descriptors when no connection closes in the meantime.
constexpr int kAcceptRetryInterval = 250;
// How soon after connections have closed the memory they freed is given back to the system.
constexpr int kTrimDelay = 1000;
// Connections accepted in one go before the event loop gets its turn again.
constexpr int kAcceptBatch = 64;

void logEvent(const QString &message)
{
    if (QtServiceBase *service = QtServiceBase::instance())
        service->logMessage(message, QtServiceBase::Success);
}
} // namespace

PortTesterServer::PortTesterServer(const QHostAddress &address, quint16 port, QObject *parent)
    : QTcpServer(parent)
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
    if (!listen(address, port)) {
        m_last_error = errorString();
        qDebug("%s\n", qPrintable(u"PortTesterServer() - listen(%1, %2) failed! Error: %3"_s.arg(
                           address.toString(), QString::number(port), m_last_error)));
        return;
    }
    // QTcpServer retries an accept that failed for lack of descriptors at once, for as long as
    // the lack lasts, spinning the event loop: accept here instead, where a failure holds
    // accepting for a while.
    pauseAccepting();
    m_accept_notifier.setSocket(socketDescriptor());
    connect(&m_accept_notifier, &QSocketNotifier::activated, this,
            &PortTesterServer::onAcceptReady);
    m_accept_notifier.setEnabled(true);
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
    // Without descriptors to spare the worker's event loop could not start, which ends the
    // process: turn the connection away and wait for descriptors to be freed.
    if (!DescriptorProbe::hasFree(int(socketDescriptor), kDescriptorHeadroom)) {
        qDebug("PortTesterServer: fewer than %d descriptors free, closing the new connection "
               "(sock_id = %d) and holding accepting",
               kDescriptorHeadroom, int(socketDescriptor));
        refuse(socketDescriptor);
        holdAccepting();
        return;
    }
    serve(socketDescriptor);
}

void PortTesterServer::serve(qintptr socketDescriptor)
{
    auto *socket = new QTcpSocket;
    socket->setSocketDescriptor(socketDescriptor, QAbstractSocket::ConnectedState,
                                QIODevice::ReadWrite);
    // Lines go out as they are written: a client waits for each go line and reply.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const QString peer = socket->peerAddress().toString();
    // Connected before the worker starts, so a connection that closes at once is still seen.
    connect(socket, &QTcpSocket::disconnected, this, &PortTesterServer::discardClient,
            Qt::AutoConnection);
    auto *handler = new PortTestHandler(socket);
    if (!handler->isServing()) {
        qWarning("PortTesterServer: no worker thread for the connection from %s, closing it",
                 qPrintable(peer));
        disposeOf(socket, handler);
        return;
    }
    logEvent(u"\n\nPortTesterServer: client-connection established from %1 sock_id = %2"_s.arg(
        peer, QString::number(socketDescriptor)));
    m_clients.insert(socket, handler);
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
    // Clients keep waiting in the listen queue until a connection can be served, rather than
    // being accepted only to be turned away.
    if (!DescriptorProbe::hasFree(int(socketDescriptor()), kDescriptorHeadroom + 1)) {
        m_accept_retry.start();
        return;
    }
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
        disposeOf(it.key(), it.value());
        logEvent(u"PortTesterServer: client-connection closed"_s);
    }
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
