#include "porttest/porttest.h"

#include "net/loggedtext.h"
#include "net/peeraddress.h"
#include "porttest/porttestlogging.h"
#include "protocol/porttestingline.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>

using namespace Qt::StringLiterals;
using ControlProtocol::Result;

namespace {

constexpr int pingInterval = 50;
constexpr char pingText[] = "PortTestPing";
constexpr qint64 pingSize = sizeof(pingText) - 1;

template<typename Owned> void stopAndRelease(Owned &timer)
{
    if (timer) {
        timer->stop();
        timer.reset();
    }
}

// Where a test listens or binds: on IPv4 alone for an IPv4 peer; on both families (dual stack)
// for an IPv6 peer, so that either family reaches its "in" test. A peer reached over IPv6 shows
// that this host has IPv6.
QHostAddress localAddressFor(const QString &peer)
{
    return QHostAddress(QHostAddress(peer).protocol() == QAbstractSocket::IPv6Protocol
                            ? QHostAddress::Any
                            : QHostAddress::AnyIPv4);
}

} // namespace

PortTest::PortTest() : PortTest(0, Udp, In, ControlProtocol::DefaultTimeLimitMs, QString()) {}

PortTest::PortTest(quint16 port, Protocol protocol, Direction direction, int timeout,
                   const QString &text)
    : m_port(port), m_protocol(protocol), m_direction(direction),
      m_timeout(std::max(timeout, ControlProtocol::MinimumTimeLimitMs)),
      m_peer_address(u"127.0.0.1"_s), m_text(text)
{
}

PortTest::~PortTest()
{
    // No event loop may run for this thread again (a finished worker, the end of a run), so what
    // is still held goes now. No socket or timer of ours is emitting here: every path that runs
    // inside their signals has released them before anything outside the test can react.
    delete m_packet_timer.release();
    delete m_timeout_timer.release();
    delete m_udp_socket.release();
    delete m_tcp_socket.release();
    delete m_tcp_server.release();
}

bool PortTest::handleTest(bool serverSide)
{
    // A second run starts from nothing instead of leaking the first run's sockets and timers.
    cleanup();
    m_server_side = serverSide;
    m_state = State::Running;
    qCDebug(lcPortTest, "PortTest::handleTest() - called!");
    if (m_server_side)
        startTimeoutTimer();
    return m_protocol == Tcp ? setupTCPTest() : setupUDPTest();
}

void PortTest::startTimeoutTimer()
{
    m_timeout_timer.reset(new QTimer);
    connect(m_timeout_timer.get(), &QTimer::timeout, this, &PortTest::onTimeoutReached,
            Qt::QueuedConnection);
    m_timeout_timer->setSingleShot(true);
    // A coarse timer may fire 5% early: a peer acting just before the limit would be told
    // "timeout".
    m_timeout_timer->setTimerType(Qt::PreciseTimer);
    m_timeout_timer->start(m_timeout);
}

void PortTest::startPacketTimer()
{
    if (m_packet_timer)
        return; // one pinger per test, however many go lines arrive
    m_packet_timer.reset(new QTimer);
    connect(m_packet_timer.get(), &QTimer::timeout, this, &PortTest::onPacketTimer);
    m_packet_timer->start(pingInterval);
}

void PortTest::cleanup()
{
    stopAndRelease(m_packet_timer);
    stopAndRelease(m_timeout_timer);
    // Closed at once so the port is free the moment the test ends, not only once the event loop
    // gets round to the deferred delete.
    if (m_udp_socket)
        m_udp_socket->close();
    if (m_tcp_socket)
        m_tcp_socket->close();
    if (m_tcp_server)
        m_tcp_server->close();
    m_udp_socket.reset();
    m_tcp_socket.reset();
    m_tcp_server.reset();
}

void PortTest::finish(State end)
{
    m_state = end;
    cleanup();
}

// The line that tells the peer this side is ready: the go line that answers its request, or the
// request itself.
void PortTest::announce()
{
    using namespace ControlProtocol;
    Q_EMIT sendToPeer(m_server_side
                          ? goLine(m_direction, m_protocol, m_port)
                          : testPortLine(opposite(m_direction), m_protocol, m_port, m_timeout));
}

// Something got through. The line names the direction it got through in: "in" for every UDP
// ping, whichever test received it.
void PortTest::succeed(Direction reported)
{
    finish(State::Succeeded);
    // Success lines carry their own line end; the others get theirs when sent.
    Q_EMIT sendToPeer(ControlProtocol::resultLine(reported, m_protocol, m_port, Result::Success) +
                      ControlProtocol::LineEnd);
    Q_EMIT testDone(true);
}

void PortTest::onTimeoutReached()
{
    if (isFinished()) {
        qCDebug(lcPortTest, "PortTest::onTimeoutReached() - already finished not triggering twice");
        return;
    }
    finish(State::TimedOut);
    Q_EMIT testDone(false);
    Q_EMIT sendToPeer(
        ControlProtocol::resultLine(m_direction, m_protocol, m_port, Result::Timeout));
    // No processEvents() here: running the thread's queue from inside this slot would deliver the
    // handler's slots, the peer's next lines and other tests' timeouts re-entrantly. The lines
    // leave as soon as this slot returns to the event loop anyway.
}

void PortTest::onAbortTest()
{
    qCDebug(lcPortTest, "PortTest::onAbortTest()");
    // A test that timed out stays timed out; any other ends failed.
    finish(m_state == State::TimedOut ? State::TimedOut : State::Failed);
}

void PortTest::onFailure()
{
    qCDebug(lcPortTest, "PortTest::onFailure()");
    finish(m_state == State::TimedOut ? State::TimedOut : State::Failed);
}

// ---- TCP ----

bool PortTest::setupTCPTest()
{
    return m_direction == In ? setupTcpIn() : setupTcpOut();
}

bool PortTest::setupTcpIn()
{
    m_tcp_server.reset(new QTcpServer);
    // One connection decides the test: accepting more would only cost descriptors.
    m_tcp_server->setMaxPendingConnections(1);
    connect(m_tcp_server.get(), &QTcpServer::newConnection, this, &PortTest::onTcpConnection);
    if (!m_tcp_server->listen(localAddressFor(m_peer_address), m_port)) {
        m_error = m_tcp_server->errorString();
        qCDebug(lcPortTest, "PortTest::setupTCPTest() - listening on port %d failed! Error: %s",
                m_port, m_error.toLocal8Bit().constData());
        Q_EMIT sendToPeer(ControlProtocol::resultLine(In, Tcp, m_port, Result::Failure));
        return false;
    }
    announce();
    return true;
}

bool PortTest::setupTcpOut()
{
    m_tcp_socket.reset(new QTcpSocket);
    connect(m_tcp_socket.get(), &QTcpSocket::connected, this, &PortTest::onConnected,
            Qt::QueuedConnection);
    announce();
    // On the requesting side the peer's go line starts the connection once it listens.
    if (m_server_side)
        m_tcp_socket->connectToHost(m_peer_address, m_port, QIODevice::ReadWrite);
    return true;
}

void PortTest::onTcpConnection()
{
    if (isFinished() || !m_tcp_server || !m_tcp_server->hasPendingConnections())
        return;
    // The connection stays a child of the listener and goes with it; closed at once, so a
    // connection holds at most the listener and this one descriptor for its test.
    QTcpSocket *connection = m_tcp_server->nextPendingConnection();
    // An IPv4 peer of a dual-stack listener is named as plain IPv4, as everywhere.
    const QString from = plainPeerAddress(*connection).toString();
    connection->abort();
    if (from == m_peer_address)
        qCDebug(lcPortTest,
                "PortTest::onTcpConnection() - got connection request from expected peer %s",
                m_peer_address.toLocal8Bit().constData());
    else
        qCDebug(lcPortTest, "PortTest::onTcpConnection() - got a connection request from %s",
                from.toLocal8Bit().constData());
    succeed(In);
}

void PortTest::onConnected()
{
    if (isFinished())
        return;
    succeed(Out);
}

// ---- UDP ----

bool PortTest::setupUDPTest()
{
    m_udp_socket.reset(new QUdpSocket);
    // Both directions receive: an "out" test can be pinged back on its own socket.
    connect(m_udp_socket.get(), &QUdpSocket::readyRead, this, &PortTest::onReadPendingDatagrams,
            Qt::QueuedConnection);
    const bool bound = m_direction == In ? bindUdpIn() : bindUdpOut();
    if (!bound && m_server_side)
        Q_EMIT sendToPeer(ControlProtocol::resultLine(m_direction, Udp, m_port, Result::Failure));
    return bound;
}

bool PortTest::bindUdpIn()
{
    if (!m_udp_socket->bind(localAddressFor(m_peer_address), m_port)) {
        qCDebug(lcPortTest, "PortTest::setupUDPTest() - Could not bind to UDP-Port %d", m_port);
        return false;
    }
    announce();
    return true;
}

bool PortTest::bindUdpOut()
{
    if (!m_udp_socket->bind(localAddressFor(m_peer_address), 0)) {
        qCDebug(lcPortTest, "PortTest::setupUDPTest() - Could not bind to any UDP-Port");
        return false;
    }
    announce();
    // On the requesting side pings start with the peer's go line, once its port is bound.
    if (m_server_side)
        startPacketTimer();
    return true;
}

void PortTest::onPacketTimer()
{
    if (isFinished() || !m_udp_socket)
        return;
    const qint64 written = m_udp_socket->writeDatagram(QByteArray::fromRawData(pingText, pingSize),
                                                       QHostAddress(m_peer_address), m_port);
    if (written != pingSize)
        qCDebug(lcPortTest, "PortTest::onPacketTimer() - udp writeDatagram() failed!");
}

void PortTest::onReadPendingDatagrams()
{
    if (isFinished() || !m_udp_socket)
        return;
    while (m_udp_socket->hasPendingDatagrams()) {
        QByteArray datagram(std::max<qint64>(m_udp_socket->pendingDatagramSize(), 0), '\0');
        const qint64 read = m_udp_socket->readDatagram(datagram.data(), datagram.size());
        if (read < 0) {
            qCDebug(lcPortTest, "PortTest::onReadPendingDatagrams() - readDatagram() failed!");
            continue;
        }
        datagram.truncate(read);
        if (datagram.contains(QByteArrayView(pingText, pingSize))) {
            // Whatever is still pending is dropped with the socket.
            succeed(In);
            return;
        }
    }
}

// ---- Control messages ----

void PortTest::onControlMessage(QString mes)
{
    const std::optional<PortTestingLine> line = PortTestingLine::parse(mes);
    if (!line) {
        qCDebug(lcPortTest, "PortTest::onControlMessage got invalid commandline: %s",
                loggedText(mes).constData());
        return;
    }

    if (m_server_side) {
        qCDebug(lcPortTest, "ServerSide - PortTest::onControlMessage() -> %s",
                loggedText(mes).constData());
        applyServerReport(*line);
    } else {
        qCDebug(lcPortTest, "ClientSide - PortTest::onControlMessage() -> %s",
                loggedText(mes).constData());
        applyClientReport(*line);
    }
}

void PortTest::applyServerReport(const PortTestingLine &line)
{
    // The direction is not compared: the peer names its own.
    if (line.port != m_port || line.protocol != m_protocol) {
        qCDebug(lcPortTest,
                "ServerSide - PortTest::onControlMessage() port or protocol do not match "
                "currently scheduled test!");
        return;
    }
    if (isFinished() || !line.result || line.result == Result::Timeout)
        return; // a timeout, or no result: the test's own timer decides
    const bool success = line.result == Result::Success;
    finish(success ? State::Succeeded : State::Failed);
    Q_EMIT testDone(success);
}

void PortTest::applyClientReport(const PortTestingLine &line)
{
    if (line.result) {
        // A TCP success is seen by this side itself; the peer's report of it changes nothing.
        if (isFinished() || (line.result == Result::Success && line.protocol != Udp))
            return;
        finish(line.result == Result::Success   ? State::Succeeded
               : line.result == Result::Timeout ? State::TimedOut
                                                : State::Failed);
        Q_EMIT testDone(isSuccess());
        return;
    }
    // A go line: the peer is ready. Only "in" (the peer listens or binds) asks this side to act,
    // and a test that has ended starts nothing again.
    if (line.direction != In || isFinished())
        return;
    if (line.protocol == Udp) {
        startPacketTimer();
    } else if (!m_tcp_socket) {
        qCDebug(lcPortTest, "Error: m_tcp_socket == NULL !!!");
    } else if (m_tcp_socket->state() == QAbstractSocket::UnconnectedState) {
        m_tcp_socket->connectToHost(m_peer_address, m_port, QIODevice::ReadWrite);
    }
}
