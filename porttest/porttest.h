#pragma once

#include "protocol/controlprotocol.h"

#include <QObject>
#include <QString>

#include <memory>

class PortTestingLine;
class QTcpServer;
class QTcpSocket;
class QTimer;
class QUdpSocket;

// One reachability test of one port: TCP or UDP, "in" (this side listens or binds and waits)
// or "out" (this side connects or pings), with a time limit. The same class plays both ends:
// handleTest(true) answers a peer's request, handleTest(false) makes the request itself.
//
// Threading: a test lives in one thread (its handler's worker thread); all its slots, sockets
// and timers run in that thread's event loop, so nothing here is locked.
class PortTest : public QObject
{
    Q_OBJECT

public:
    using Protocol = ControlProtocol::Protocol;
    using Direction = ControlProtocol::Direction;
    using enum ControlProtocol::Protocol;
    using enum ControlProtocol::Direction;

    // Where a test is: created, running (also after a failed setup: it then ends by its time
    // limit), or ended one of three ways. An aborted test counts as failed.
    enum class State { Created, Running, Succeeded, Failed, TimedOut };

    PortTest();
    PortTest(quint16 port, Protocol protocol, Direction direction, int timeout,
             const QString &text);
    Q_DISABLE_COPY_MOVE(PortTest)
    ~PortTest() override;

    // Starts the test; false when the TCP listen or UDP bind failed (the test then ends by its
    // time limit on the server side).
    bool handleTest(bool serverSide);

    quint16 port() const { return m_port; }
    Protocol protocol() const { return m_protocol; }
    Direction direction() const { return m_direction; }
    int timeout() const { return m_timeout; }
    bool isServerSide() const { return m_server_side; }
    State state() const { return m_state; }
    bool isSuccess() const { return m_state == State::Succeeded; }
    bool isFinished() const
    {
        return m_state == State::Succeeded || m_state == State::Failed ||
               m_state == State::TimedOut;
    }
    bool isTimedOut() const { return m_state == State::TimedOut; }
    QString errorString() const { return m_error; }
    QString peerAddress() const { return m_peer_address; }
    void setPeerAddress(const QString &address) { m_peer_address = address; }
    QString text() const { return m_text; }

Q_SIGNALS:
    void testDone(bool success);
    void sendToPeer(QString mes);

public Q_SLOTS:
    // One "porttesting" line from the peer, without line end.
    void onControlMessage(QString mes);
    // End the test quietly: nothing is sent or emitted, but sockets and timers are released so
    // an abandoned test does not keep its port.
    void onAbortTest();
    void onFailure();

private Q_SLOTS:
    void onTimeoutReached();
    void onReadPendingDatagrams();
    void onPacketTimer();
    void onTcpConnection();
    void onConnected();

private:
    bool setupTCPTest();
    bool setupTcpIn();
    bool setupTcpOut();
    bool setupUDPTest();
    bool bindUdpIn();
    bool bindUdpOut();
    void startTimeoutTimer();
    void startPacketTimer();
    void announce();
    void applyServerReport(const PortTestingLine &line);
    void applyClientReport(const PortTestingLine &line);
    void finish(State end);
    void succeed(Direction reported);
    // Releases sockets and timers through deleteLater; safe to call any number of times.
    void cleanup();

    // Sockets and timers may be inside one of their own signals when the test ends: they go
    // through deleteLater, except in the destructor (see there).
    struct DeleteLater
    {
        void operator()(QObject *object) const { object->deleteLater(); }
    };
    template<typename T> using Owned = std::unique_ptr<T, DeleteLater>;

    Owned<QUdpSocket> m_udp_socket;
    Owned<QTcpSocket> m_tcp_socket;
    Owned<QTcpServer> m_tcp_server;
    Owned<QTimer> m_packet_timer;
    Owned<QTimer> m_timeout_timer;
    quint16 m_port = 0;
    Protocol m_protocol = Udp;
    Direction m_direction = In;
    int m_timeout = ControlProtocol::DefaultTimeLimitMs;
    bool m_server_side = true;
    State m_state = State::Created;
    QString m_error;
    QString m_peer_address;
    QString m_text;
};
