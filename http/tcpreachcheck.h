#pragma once

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>

// One connect-back: can a TCP connection to the port at the caller's address be opened within
// the time limit? The port is reserved process-wide while the check runs, so it never runs
// beside a control connection's test of the same port.
class PortReservation;

class TcpReachCheck : public QObject
{
    Q_OBJECT

public:
    // `reservation` must outlive the check.
    TcpReachCheck(const QHostAddress &address, quint16 port, int timeoutMs,
                  PortReservation &reservation, QObject *parent = nullptr);
    // A check still running is stopped and its port released.
    ~TcpReachCheck() override;

    // Reserves the port and starts connecting; false, with nothing started, while a test of
    // another connection holds the port.
    bool start();

    bool isReachable() const { return m_reachable; }
    qint64 elapsedMs() const { return m_elapsed_ms; }

Q_SIGNALS:
    void finished();

private:
    void onConnected();
    void onErrorOccurred();
    void onTimeout();
    void finish(bool reachable);
    void stop();

    PortReservation &m_reservation;
    QHostAddress m_address;
    quint16 m_port = 0;
    QTcpSocket m_socket;
    QTimer m_timer;
    QElapsedTimer m_clock;
    bool m_holds_port = false;
    bool m_reachable = false;
    qint64 m_elapsed_ms = 0;
};
