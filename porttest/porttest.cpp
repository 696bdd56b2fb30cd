#include "porttest/porttest.h"

#include "porttest/porttestingline.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

constexpr int minimumTimeout = 100;
constexpr int defaultTimeout = 5000;
constexpr int pingInterval = 50;
constexpr char pingText[] = "PortTestPing";
constexpr qint64 pingSize = sizeof(pingText) - 1;

template<typename T> void releaseLater(T *&object)
{
    if (object) {
        object->deleteLater();
        object = nullptr;
    }
}

void stopAndReleaseLater(QTimer *&timer)
{
    if (timer) {
        timer->stop();
        releaseLater(timer);
    }
}

} // namespace

PortTest::PortTest() : PortTest(0, Udp, In, defaultTimeout, QString()) {}

PortTest::PortTest(quint16 port, int protocol, int direction, int timeout, const QString &text)
    : m_port(port), m_protocol(protocol), m_direction(direction),
      m_timeout(std::max(timeout, minimumTimeout)), m_peer_address(u"127.0.0.1"_s), m_text(text)
{
}

PortTest::PortTest(const PortTest &other) : QObject()
{
    copySettings(other);
}

PortTest &PortTest::operator=(const PortTest &other)
{
    if (this != &other) {
        // A copy never holds sockets or timers, so whatever this test held goes.
        cleanup();
        copySettings(other);
    }
    return *this;
}

PortTest::~PortTest()
{
    // No event loop may run for this thread again (a finished worker, the end of a run), so what
    // is still held goes now. No socket or timer of ours is emitting here: every path that runs
    // inside their signals has released them before anything outside the test can react.
    delete m_packet_timer;
    delete m_timeout_timer;
    delete m_udp_socket;
    delete m_tcp_socket;
    delete m_tcp_server;
}

void PortTest::copySettings(const PortTest &other)
{
    m_port = other.m_port;
    m_protocol = other.m_protocol;
    m_direction = other.m_direction;
    m_timeout = other.m_timeout;
    m_server_side = other.m_server_side;
    m_success = other.m_success;
    m_finished = other.m_finished;
    m_timed_out = other.m_timed_out;
    m_error = other.m_error;
    m_peer_address = other.m_peer_address;
    m_text = other.m_text;
}

bool PortTest::handleTest(bool serverSide)
{
    // A second run starts from nothing instead of leaking the first run's sockets and timers.
    cleanup();
    m_server_side = serverSide;
    m_finished = false;
    qDebug("PortTest::handleTest() - called!");
    if (m_server_side)
        startTimeoutTimer();
    return m_protocol == Tcp ? setupTCPTest() : setupUDPTest();
}

void PortTest::startTimeoutTimer()
{
    m_timeout_timer = new QTimer;
    connect(m_timeout_timer, &QTimer::timeout, this, &PortTest::onTimeoutReached,
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
    m_packet_timer = new QTimer;
    connect(m_packet_timer, &QTimer::timeout, this, &PortTest::onPacketTimer);
    m_packet_timer->start(pingInterval);
}

void PortTest::cleanup()
{
    stopAndReleaseLater(m_packet_timer);
    stopAndReleaseLater(m_timeout_timer);
    // Closed at once so the port is free the moment the test ends, not only once the event loop
    // gets round to the deferred delete.
    if (m_udp_socket)
        m_udp_socket->close();
    if (m_tcp_socket)
        m_tcp_socket->close();
    if (m_tcp_server)
        m_tcp_server->close();
    releaseLater(m_udp_socket);
    releaseLater(m_tcp_socket);
    releaseLater(m_tcp_server);
}

void PortTest::finish(bool success)
{
    m_finished = true;
    m_success = success;
    cleanup();
}

QString PortTest::timeoutLine() const
{
    return u"porttesting "_s + (m_direction == In ? u"in "_s : u"out "_s) +
           (m_protocol == Udp ? u"udp"_s : u"tcp"_s) + u" %1 "_s.arg(m_port) + u"timeout"_s;
}

void PortTest::onTimeoutReached()
{
    if (m_finished) {
        qDebug("PortTest::onTimeoutReached() - already finished not triggering twice");
        return;
    }
    m_timed_out = true;
    finish(false);
    Q_EMIT testDone(false);
    Q_EMIT sendToPeer(timeoutLine());
    // No processEvents() here: running the thread's queue from inside this slot would deliver the
    // handler's slots, the peer's next lines and other tests' timeouts re-entrantly. The lines
    // leave as soon as this slot returns to the event loop anyway.
}

void PortTest::onAbortTest()
{
    qDebug("PortTest::onAbortTest()");
    finish(false);
}

void PortTest::onFailure()
{
    qDebug("PortTest::onFailure()");
    finish(false);
}

// ---- TCP ----

bool PortTest::setupTCPTest()
{
    return m_direction == In ? setupTcpIn() : setupTcpOut();
}

bool PortTest::setupTcpIn()
{
    m_tcp_server = new QTcpServer;
    // One connection decides the test: accepting more would only cost descriptors.
    m_tcp_server->setMaxPendingConnections(1);
    connect(m_tcp_server, &QTcpServer::newConnection, this, &PortTest::onTcpConnection);
    if (!m_tcp_server->listen(QHostAddress::AnyIPv4, m_port)) {
        m_error = m_tcp_server->errorString();
        qDebug("PortTest::setupTCPTest() - listening on port %d failed! Error: %s", m_port,
               m_error.toLocal8Bit().constData());
        Q_EMIT sendToPeer(u"porttesting in tcp %1 failure"_s.arg(m_port));
        return false;
    }
    if (m_server_side)
        Q_EMIT sendToPeer(u"porttesting in tcp %1"_s.arg(m_port));
    else
        Q_EMIT sendToPeer(u"testport out tcp %1 %2"_s.arg(m_port).arg(m_timeout));
    return true;
}

bool PortTest::setupTcpOut()
{
    m_tcp_socket = new QTcpSocket;
    connect(m_tcp_socket, &QTcpSocket::connected, this, &PortTest::onConnected,
            Qt::QueuedConnection);
    if (m_server_side) {
        Q_EMIT sendToPeer(u"porttesting out tcp %1"_s.arg(m_port));
        m_tcp_socket->connectToHost(m_peer_address, m_port, QIODevice::ReadWrite);
    } else {
        // The peer's go line starts the connection once it listens.
        Q_EMIT sendToPeer(u"testport in tcp %1 %2"_s.arg(m_port).arg(m_timeout));
    }
    return true;
}

void PortTest::onTcpConnection()
{
    if (m_finished || !m_tcp_server || !m_tcp_server->hasPendingConnections())
        return;
    // The connection stays a child of the listener and goes with it; closed at once, so a
    // connection holds at most the listener and this one descriptor for its test.
    QTcpSocket *connection = m_tcp_server->nextPendingConnection();
    const QString from = connection->peerAddress().toString();
    connection->abort();
    if (from == m_peer_address)
        qDebug("PortTest::onTcpConnection() - got connection request from expected peer %s",
               m_peer_address.toLocal8Bit().constData());
    else
        qDebug("PortTest::onTcpConnection() - got a connection request from %s",
               from.toLocal8Bit().constData());
    finish(true);
    Q_EMIT sendToPeer(u"porttesting in tcp %1 success\r\n"_s.arg(m_port));
    Q_EMIT testDone(true);
}

void PortTest::onConnected()
{
    if (m_finished)
        return;
    finish(true);
    Q_EMIT sendToPeer(u"porttesting out tcp %1 success\r\n"_s.arg(m_port));
    Q_EMIT testDone(true);
}

// ---- UDP ----

bool PortTest::setupUDPTest()
{
    m_udp_socket = new QUdpSocket;
    // Both directions receive: an "out" test can be pinged back on its own socket.
    connect(m_udp_socket, &QUdpSocket::readyRead, this, &PortTest::onReadPendingDatagrams,
            Qt::QueuedConnection);
    const bool bound = m_direction == In ? bindUdpIn() : bindUdpOut();
    if (!bound && m_server_side)
        Q_EMIT sendToPeer(u"porttesting "_s + (m_direction == In ? u"in udp"_s : u"out udp"_s) +
                          u" %1 failure"_s.arg(m_port));
    return bound;
}

bool PortTest::bindUdpIn()
{
    if (!m_udp_socket->bind(QHostAddress::AnyIPv4, m_port)) {
        qDebug("PortTest::setupUDPTest() - Could not bind to UDP-Port %d", m_port);
        return false;
    }
    if (m_server_side)
        Q_EMIT sendToPeer(u"porttesting in udp %1"_s.arg(m_port));
    else
        Q_EMIT sendToPeer(u"testport out udp %1 %2"_s.arg(m_port).arg(m_timeout));
    return true;
}

bool PortTest::bindUdpOut()
{
    if (!m_udp_socket->bind(QHostAddress::AnyIPv4, 0)) {
        qDebug("PortTest::setupUDPTest() - Could not bind to any UDP-Port");
        return false;
    }
    if (m_server_side) {
        Q_EMIT sendToPeer(u"porttesting out udp %1"_s.arg(m_port));
        startPacketTimer();
    } else {
        // Pings start with the peer's go line, once its port is bound.
        Q_EMIT sendToPeer(u"testport in udp %1 %2"_s.arg(m_port).arg(m_timeout));
    }
    return true;
}

void PortTest::onPacketTimer()
{
    if (m_finished || !m_udp_socket)
        return;
    const qint64 written = m_udp_socket->writeDatagram(QByteArray::fromRawData(pingText, pingSize),
                                                       QHostAddress(m_peer_address), m_port);
    if (written != pingSize)
        qDebug("PortTest::onPacketTimer() - udp writeDatagram() failed!");
}

void PortTest::onReadPendingDatagrams()
{
    if (m_finished || !m_udp_socket)
        return;
    while (m_udp_socket->hasPendingDatagrams()) {
        QByteArray datagram(std::max<qint64>(m_udp_socket->pendingDatagramSize(), 0), '\0');
        const qint64 read = m_udp_socket->readDatagram(datagram.data(), datagram.size());
        if (read < 0) {
            qDebug("PortTest::onReadPendingDatagrams() - readDatagram() failed!");
            continue;
        }
        datagram.truncate(read);
        if (datagram.contains(QByteArrayView(pingText, pingSize))) {
            // Whatever is still pending is dropped with the socket.
            finish(true);
            Q_EMIT sendToPeer(u"porttesting in udp %1 success\r\n"_s.arg(m_port));
            Q_EMIT testDone(true);
            return;
        }
    }
}

// ---- Control messages ----

void PortTest::onControlMessage(QString mes)
{
    const std::optional<PortTestingLine> line = PortTestingLine::parse(mes);
    if (!line) {
        qDebug("PortTest::onControlMessage got invalid commandline: %s",
               mes.toLocal8Bit().constData());
        return;
    }

    if (m_server_side) {
        qDebug("ServerSide - PortTest::onControlMessage() -> %s", mes.toLocal8Bit().constData());
        applyServerReport(line->protocol, line->port, line->status);
    } else {
        qDebug("ClientSide - PortTest::onControlMessage() -> %s", mes.toLocal8Bit().constData());
        applyClientReport(line->direction, line->protocol, line->status);
    }
}

void PortTest::applyServerReport(int protocol, int port, const QString &status)
{
    // The direction is not compared: the peer names its own.
    if (port != m_port || protocol != m_protocol) {
        qDebug("ServerSide - PortTest::onControlMessage() port or protocol do not match "
               "currently scheduled test!");
        return;
    }
    if (m_finished)
        return;
    if (status == u"success"_s) {
        finish(true);
        Q_EMIT testDone(true);
    } else if (status == u"failure"_s) {
        finish(false);
        Q_EMIT testDone(false);
    }
    // "timeout" or no status: the test's own timer decides.
}

void PortTest::applyClientReport(int direction, int protocol, const QString &status)
{
    if (!status.isEmpty()) {
        // A TCP success is seen by this side itself; the peer's report of it changes nothing.
        if (m_finished || (status == u"success"_s && protocol != Udp))
            return;
        if (status == u"timeout"_s)
            m_timed_out = true;
        finish(status == u"success"_s);
        Q_EMIT testDone(m_success);
        return;
    }
    // A go line: the peer is ready. Only "in" (the peer listens or binds) asks this side to act,
    // and a test that has ended starts nothing again.
    if (direction != In || m_finished)
        return;
    if (protocol == Udp) {
        startPacketTimer();
    } else if (!m_tcp_socket) {
        qDebug("Error: m_tcp_socket == NULL !!!");
    } else if (m_tcp_socket->state() == QAbstractSocket::UnconnectedState) {
        m_tcp_socket->connectToHost(m_peer_address, m_port, QIODevice::ReadWrite);
    }
}
