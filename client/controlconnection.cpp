#include "client/controlconnection.h"

#include "client/checklog.h"
#include "protocol/controlprotocol.h"

using namespace Qt::StringLiterals;

ControlConnection::ControlConnection(QObject *parent) : QObject(parent)
{
    m_connect_timer.setSingleShot(true);
    connect(&m_connect_timer, &QTimer::timeout, this, &ControlConnection::onConnectTimeout);
    connect(&m_socket, &QTcpSocket::connected, this, &ControlConnection::onConnected);
    connect(&m_socket, &QTcpSocket::readyRead, this, &ControlConnection::onReadyRead);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &ControlConnection::onErrorOccurred);
    connect(&m_socket, &QTcpSocket::disconnected, this, &ControlConnection::onDisconnected);
}

ControlConnection::~ControlConnection()
{
    // The socket goes last and may still signal its end; nothing of this object may react then.
    m_socket.disconnect(this);
}

void ControlConnection::open(const QString &host, quint16 port, int timeoutMs,
                             QAbstractSocket::NetworkLayerProtocol family)
{
    m_host = host;
    m_port = port;
    m_timeout = timeoutMs;
    m_family = family;
    m_connect_timer.start(timeoutMs);
    m_socket.connectToHost(host, port, QIODevice::ReadWrite, family);
}

void ControlConnection::sendLine(const QString &line)
{
    if (!m_open || m_ended)
        return;
    const QByteArray wire = ControlProtocol::wireLine(line);
    Q_EMIT lineSent(QString::fromLatin1(wire.chopped(ControlProtocol::LineEnd.size())));
    m_socket.write(wire);
}

void ControlConnection::abandon(const QString &reason)
{
    fail(reason);
}

void ControlConnection::close()
{
    if (m_ended)
        return;
    m_ended = true;
    m_connect_timer.stop();
    // A last report (ending the server's test) must not be dropped with the socket.
    m_socket.flush();
    m_socket.disconnectFromHost();
}

QString ControlConnection::peerAddress() const
{
    return m_socket.peerAddress().toString();
}

QHostAddress ControlConnection::localAddress() const
{
    return m_socket.localAddress();
}

QString ControlConnection::target() const
{
    return targetText(m_host, m_port);
}

QString ControlConnection::targetText(const QString &host, quint16 port)
{
    // Only an IPv6 address holds colons, and it needs brackets to tell them from the port's.
    return (host.contains(u':') ? u"[%1]:%2"_s : u"%1:%2"_s).arg(host).arg(port);
}

void ControlConnection::onConnected()
{
    m_connect_timer.stop();
    m_open = true;
    // Every line is a step of a short exchange: none may wait for more to send.
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    qCDebug(lcCheck, "connected to %s (%s)", qPrintable(target()), qPrintable(peerAddress()));
    Q_EMIT opened();
}

void ControlConnection::onReadyRead()
{
    while (!m_ended && m_socket.canReadLine()) {
        QString line = QString::fromLatin1(m_socket.readLine());
        line.chop(line.endsWith(u"\r\n"_s) ? 2 : 1);
        if (!m_answered && !isProtocolLine(line)) {
            m_ended = true;
            m_socket.abort();
            Q_EMIT foreign(line);
            return;
        }
        m_answered = true;
        Q_EMIT lineReceived(line);
    }
    // A peer that sends more than a line may hold without a line end is no tester.
    if (!m_ended && m_socket.bytesAvailable() > ControlProtocol::MaxLineLength)
        fail(u"the server sent a line longer than %1 bytes"_s.arg(ControlProtocol::MaxLineLength));
}

void ControlConnection::onErrorOccurred(QAbstractSocket::SocketError error)
{
    fail(reasonFor(error));
}

void ControlConnection::onDisconnected()
{
    fail(closedReason());
}

void ControlConnection::onConnectTimeout()
{
    fail(u"no connection within %1 ms"_s.arg(m_timeout));
}

QString ControlConnection::reasonFor(QAbstractSocket::SocketError error) const
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        // Nothing listens there: most often no tester runs, or it runs elsewhere.
        return u"connection refused (is a tester running there? name it with --server "
               "HOST[:PORT])"_s;
    case QAbstractSocket::HostNotFoundError:
        if (m_family == QAbstractSocket::IPv4Protocol || m_family == QAbstractSocket::IPv6Protocol)
            return u"host not found, or it has no %1 address"_s.arg(
                m_family == QAbstractSocket::IPv4Protocol ? u"IPv4"_s : u"IPv6"_s);
        return u"host not found"_s;
    case QAbstractSocket::RemoteHostClosedError:
        return closedReason();
    case QAbstractSocket::NetworkError:
        return m_open ? u"network error: %1"_s.arg(m_socket.errorString())
                      : u"network unreachable"_s;
    default:
        return m_socket.errorString();
    }
}

// A tester that is paused or full accepts and closes at once; anything else that closes
// without a word is no tester.
QString ControlConnection::closedReason() const
{
    return m_answered ? u"the server closed the connection"_s
                      : u"the server closed the connection before answering (paused, full, or "
                        "not a tester)"_s;
}

// A tester answers with nothing but these; anything else, first, is some other service.
bool ControlConnection::isProtocolLine(const QString &line)
{
    return line.startsWith(ControlProtocol::PublicIpPrefix) ||
           line.startsWith(ControlProtocol::PortTestingWord, Qt::CaseInsensitive) ||
           ControlProtocol::rateLimitedSeconds(line).has_value();
}

void ControlConnection::fail(const QString &reason)
{
    if (m_ended)
        return;
    m_ended = true;
    m_connect_timer.stop();
    // Bytes without a line end before any line: a banner or a reply of something else.
    const QByteArray unframed = m_answered ? QByteArray() : m_socket.readAll();
    m_socket.abort();
    if (!m_open)
        Q_EMIT openFailed(reason);
    else if (!unframed.isEmpty())
        Q_EMIT foreign(QString::fromLatin1(unframed));
    else
        Q_EMIT lost(reason);
}
