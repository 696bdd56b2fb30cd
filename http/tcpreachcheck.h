#pragma once

#include "net/checkoutcome.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>

class PortReservation;

// One connect-back: can a TCP connection to the port at the caller's address be opened within
// the time limit, and if not, why? The port is reserved process-wide while the check runs, so
// it never runs beside a control connection's test of the same port.
//
// Threading: lives in the thread that created it and is used there only.
class TcpReachCheck : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        Reachable,
        Refused,     // something answered that nothing listens there
        Timeout,     // nothing answered: dropped on the way
        Unreachable, // the network said there is no way there
        LocalError,  // the check could not be made here (no descriptor, no memory)
    };

    // `reservation` must outlive the check.
    TcpReachCheck(const QHostAddress &address, quint16 port, int timeoutMs,
                  PortReservation &reservation, QObject *parent = nullptr);
    // A check still running is stopped and its port released.
    ~TcpReachCheck() override;

    // Reserves the port and starts connecting; false, with nothing started, while a test of
    // another connection holds the port. finished() always comes later, from the event loop,
    // never from inside start().
    bool start();

    Outcome outcome() const { return m_outcome; }
    qint64 elapsedMs() const { return m_elapsed_ms; }
    // The shared outcome an answer reports, and its word ("reachable", "refused", "timeout",
    // "unreachable", "not-testable-at-tester").
    static CheckOutcome::Kind kind(Outcome outcome);
    static QByteArray word(Outcome outcome);

Q_SIGNALS:
    void finished();

private:
    void onConnected();
    void onErrorOccurred(QAbstractSocket::SocketError error);
    void onTimeout();
    void finish(Outcome outcome);
    void stop();

    PortReservation &m_reservation;
    QHostAddress m_address;
    quint16 m_port = 0;
    QTcpSocket m_socket;
    QTimer m_timer;
    QElapsedTimer m_clock;
    bool m_holds_port = false;
    Outcome m_outcome = Outcome::Timeout;
    qint64 m_elapsed_ms = 0;
};
