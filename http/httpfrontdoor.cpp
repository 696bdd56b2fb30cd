#include "http/httpfrontdoor.h"

#include "http/httpconnection.h"
#include "http/httplogging.h"
#include "net/peeraddress.h"

#include <QTcpSocket>

#include <utility>

HttpFrontDoor::HttpFrontDoor(const FrontDoorSettings &settings, const ServerLimits &limits,
                             PortReservation &reservation, DescriptorBudget &budget,
                             QObject *parent)
    : QObject(parent), m_limits(limits), m_reservation(reservation), m_budget(budget),
      m_callers(settings.trustedProxies), m_routes(limits.maxTestTimeMs),
      m_limiter(limits.maxConnectionsPerAddress)
{
}

void HttpFrontDoor::serve(std::unique_ptr<QTcpServer> listener)
{
    m_listener = std::move(listener);
    connect(m_listener.get(), &QTcpServer::newConnection, this,
            &HttpFrontDoor::onPendingConnection);
    qCDebug(lcHttp, "HttpFrontDoor: listening on port %d", int(m_listener->serverPort()));
}

quint16 HttpFrontDoor::serverPort() const
{
    return m_listener ? m_listener->serverPort() : 0;
}

HttpFrontDoor::~HttpFrontDoor()
{
    // Connections are children; their checks release their ports as they go.
    qDeleteAll(std::exchange(m_connections, {}));
}

void HttpFrontDoor::onPendingConnection()
{
    while (QTcpSocket *socket = m_listener->nextPendingConnection())
        serveConnection(socket);
}

void HttpFrontDoor::serveConnection(QTcpSocket *socket)
{
    socket->setParent(nullptr);
    const QHostAddress peer = plainPeerAddress(*socket);
    if (m_paused || !hasRoomFor(peer)) {
        socket->abort();
        delete socket;
        return;
    }
    // Each answer is one write: sent at once, not held back for the acknowledgement of the last.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    auto *connection = new HttpConnection(socket, m_callers, m_routes, m_reservation, this);
    connect(connection, &HttpConnection::closed, this, &HttpFrontDoor::onConnectionClosed);
    m_connections.insert(connection);
}

bool HttpFrontDoor::hasRoomFor(const QHostAddress &peer)
{
    if (m_connections.size() >= MaxConnections) {
        if (const auto unlogged = m_limiter.admitRefusalLog(QString()))
            qCDebug(lcHttp,
                    "HttpFrontDoor: %d connections open, closing new ones (from %s; %lld "
                    "more refused since the last such line)",
                    MaxConnections, qPrintable(peer.toString()), static_cast<long long>(*unlogged));
        return false;
    }
    // A trusted proxy carries everyone's requests; the limit is for single callers.
    if (m_callers.isTrusted(peer) || m_limiter.admit(peer))
        return true;
    const QString key = connectionLimitKey(peer);
    if (const auto unlogged = m_limiter.admitRefusalLog(key))
        qCDebug(lcHttp,
                "HttpFrontDoor: %s already has %d connections, closing new ones (%lld more "
                "refused since the last such line)",
                qPrintable(key), m_limiter.count(peer), static_cast<long long>(*unlogged));
    return false;
}

void HttpFrontDoor::onConnectionClosed()
{
    auto *connection = qobject_cast<HttpConnection *>(sender());
    if (!connection || !m_connections.remove(connection))
        return;
    if (!m_callers.isTrusted(connection->peerAddress()))
        m_limiter.release(connection->peerAddress());
    // It may still be inside its socket's signal.
    connection->deleteLater();
}
