#include "http/tcpreachcheck.h"

#include "porttest/portreservation.h"

#include <QNetworkProxy>

TcpReachCheck::TcpReachCheck(const QHostAddress &address, quint16 port, int timeoutMs,
                             PortReservation &reservation, QObject *parent)
    : QObject(parent), m_reservation(reservation), m_address(address), m_port(port)
{
    // A proxy would answer for the caller: the check must reach the caller itself.
    m_socket.setProxy(QNetworkProxy::NoProxy);
    m_timer.setSingleShot(true);
    m_timer.setInterval(timeoutMs);
    connect(&m_socket, &QTcpSocket::connected, this, &TcpReachCheck::onConnected);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &TcpReachCheck::onErrorOccurred);
    connect(&m_timer, &QTimer::timeout, this, &TcpReachCheck::onTimeout);
}

TcpReachCheck::~TcpReachCheck()
{
    stop();
}

bool TcpReachCheck::start()
{
    if (!m_reservation.reserve(m_port))
        return false;
    m_holds_port = true;
    m_clock.start();
    m_timer.start();
    m_socket.connectToHost(m_address, m_port);
    return true;
}

void TcpReachCheck::onConnected()
{
    finish(true);
}

void TcpReachCheck::onErrorOccurred()
{
    // Refused, unreachable, or the like: nothing took the connection.
    finish(false);
}

void TcpReachCheck::onTimeout()
{
    finish(false);
}

void TcpReachCheck::finish(bool reachable)
{
    if (!m_holds_port)
        return;
    m_reachable = reachable;
    m_elapsed_ms = m_clock.elapsed();
    stop();
    Q_EMIT finished();
}

// The socket is closed before the port is released: a control test waiting for the port
// starts at once and must find it free.
void TcpReachCheck::stop()
{
    m_timer.stop();
    m_socket.disconnect(this);
    m_socket.abort();
    if (m_holds_port) {
        m_holds_port = false;
        m_reservation.release(m_port);
    }
}
