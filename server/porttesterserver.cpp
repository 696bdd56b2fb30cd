#include "porttesterserver.h"

#include "server/porttesthandler.h"
#include "service/qtservice.h"

#include <QCoreApplication>
#include <QTcpSocket>

#include <utility>

using namespace Qt::StringLiterals;

namespace {
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
    if (!listen(address, port)) {
        m_last_error = errorString();
        qDebug("%s\n", qPrintable(u"PortTesterServer() - listen(%1, %2) failed! Error: %3"_s.arg(
                           address.toString(), QString::number(port), m_last_error)));
    }
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
        QTcpSocket refused;
        refused.setSocketDescriptor(socketDescriptor);
        refused.abort();
        return;
    }

    auto *socket = new QTcpSocket;
    socket->setSocketDescriptor(socketDescriptor, QAbstractSocket::ConnectedState,
                                QIODevice::ReadWrite);
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

void PortTesterServer::discardClient()
{
    auto *socket = static_cast<QTcpSocket *>(sender());
    const auto it = socket ? m_clients.find(socket) : m_clients.end();
    if (it != m_clients.end()) {
        qDebug("Deleting PortTestHandler");
        PortTestHandler *handler = it.value();
        m_clients.erase(it);
        disposeOf(socket, handler);
    } else {
        qDebug("Could not find socket %d",
               socket ? static_cast<int>(socket->socketDescriptor()) : -1);
        if (socket)
            socket->deleteLater();
    }
    logEvent(u"PortTesterServer: client-connection closed"_s);
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
