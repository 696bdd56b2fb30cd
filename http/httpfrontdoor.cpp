#include "http/httpfrontdoor.h"

#include "http/httpconnection.h"
#include "log/environmentsetting.h"
#include "server/peeraddress.h"

#include <QTcpSocket>

#include <utility>

std::optional<quint16> HttpFrontDoor::portFromEnvironment()
{
    QByteArray malformed;
    if (const std::optional<qint64> port =
            EnvironmentSetting::number("VX_HTTP_PORT", 65535, &malformed))
        return quint16(*port);
    if (!malformed.isEmpty())
        qDebug("HttpFrontDoor: VX_HTTP_PORT=%s is not a port number, no web front door",
               malformed.constData());
    return std::nullopt;
}

HttpFrontDoor::HttpFrontDoor(quint16 port, const ServerLimits &limits, QObject *parent)
    : QTcpServer(parent), m_limits(limits), m_callers(CallerResolver::fromEnvironment()),
      m_routes(limits.maxTestTimeMs)
{
    // One dual-stack socket takes both. Where the kernel has no IPv6 at all, Qt listens on IPv4
    // by itself; any other failure than a taken port is tried again on IPv4 alone.
    if (!listen(QHostAddress::Any, port) && serverError() != QAbstractSocket::AddressInUseError) {
        qDebug("HttpFrontDoor: no IPv6 listen on port %d (%s), IPv4 only", int(port),
               qPrintable(errorString()));
        listen(QHostAddress::AnyIPv4, port);
    }
    if (isListening())
        qDebug("HttpFrontDoor: listening on port %d", int(serverPort()));
    else
        qDebug("HttpFrontDoor: listen on port %d failed: %s", int(port), qPrintable(errorString()));
}

HttpFrontDoor::~HttpFrontDoor()
{
    // Connections are children; their checks release their ports as they go.
    qDeleteAll(std::exchange(m_connections, {}));
}

void HttpFrontDoor::incomingConnection(qintptr socketDescriptor)
{
    auto *socket = new QTcpSocket;
    socket->setSocketDescriptor(socketDescriptor);
    const QHostAddress peer = plainPeerAddress(*socket);
    const QString key = connectionLimitKey(peer);
    if (m_paused || !hasRoomFor(peer, key)) {
        socket->abort();
        delete socket;
        return;
    }
    // Each answer is one write: sent at once, not held back for the acknowledgement of the last.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    auto *connection = new HttpConnection(socket, m_callers, m_routes, this);
    connect(connection, &HttpConnection::closed, this, &HttpFrontDoor::onConnectionClosed);
    m_connections.insert(connection);
    ++m_key_connections[key];
}

bool HttpFrontDoor::hasRoomFor(const QHostAddress &peer, const QString &key)
{
    if (m_connections.size() >= MaxConnections) {
        if (!m_refusals_logged.contains(QString())) {
            m_refusals_logged.insert(QString());
            qDebug("HttpFrontDoor: %d connections open, closing new ones (first from %s)",
                   MaxConnections, qPrintable(peer.toString()));
        }
        return false;
    }
    // A trusted proxy carries everyone's requests; the limit is for single callers.
    const int count = m_key_connections.value(key);
    if (m_limits.maxConnectionsPerAddress <= 0 || count < m_limits.maxConnectionsPerAddress ||
        m_callers.isTrusted(peer))
        return true;
    if (!m_refusals_logged.contains(key)) {
        m_refusals_logged.insert(key);
        qDebug("HttpFrontDoor: %s already has %d connections, closing new ones", qPrintable(key),
               count);
    }
    return false;
}

void HttpFrontDoor::onConnectionClosed()
{
    auto *connection = qobject_cast<HttpConnection *>(sender());
    if (!connection || !m_connections.remove(connection))
        return;
    const QString key = connectionLimitKey(connection->peerAddress());
    const auto count = m_key_connections.find(key);
    if (count != m_key_connections.end() && --count.value() <= 0)
        m_key_connections.erase(count);
    m_refusals_logged.remove(key);
    m_refusals_logged.remove(QString());
    // It may still be inside its socket's signal.
    connection->deleteLater();
}
