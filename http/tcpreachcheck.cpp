#include "http/tcpreachcheck.h"

#include "net/portreservation.h"

#include <QNetworkProxy>
#include <QThread>

TcpReachCheck::TcpReachCheck(const QHostAddress &address, quint16 port, int timeoutMs,
                             PortReservation &reservation, QObject *parent)
    : QObject(parent), m_reservation(reservation), m_address(address), m_port(port)
{
    // A proxy would answer for the caller: the check must reach the caller itself.
    m_socket.setProxy(QNetworkProxy::NoProxy);
    // The answer says how long it waited: a coarse timer could end it early.
    m_timer.setTimerType(Qt::PreciseTimer);
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
    Q_ASSERT(QThread::currentThread() == thread());
    if (!m_reservation.reserve(m_port))
        return false;
    m_holds_port = true;
    m_clock.start();
    m_timer.start();
    m_socket.connectToHost(m_address, m_port);
    return true;
}

CheckOutcome::Kind TcpReachCheck::kind(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Reachable:
        return CheckOutcome::Reachable;
    case Outcome::Refused:
        return CheckOutcome::Refused;
    case Outcome::Timeout:
        return CheckOutcome::Timeout;
    case Outcome::Unreachable:
        return CheckOutcome::Unreachable;
    case Outcome::LocalError:
        break;
    }
    return CheckOutcome::NotTestableAtTester;
}

QByteArray TcpReachCheck::word(Outcome outcome)
{
    return CheckOutcome::word(kind(outcome)).toLatin1();
}

void TcpReachCheck::onConnected()
{
    finish(Outcome::Reachable);
}

void TcpReachCheck::onErrorOccurred(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        finish(Outcome::Refused);
        break;
    case QAbstractSocket::SocketTimeoutError:
        finish(Outcome::Timeout);
        break;
    case QAbstractSocket::SocketResourceError:
    case QAbstractSocket::SocketAccessError:
    case QAbstractSocket::UnsupportedSocketOperationError:
        finish(Outcome::LocalError);
        break;
    default:
        // EHOSTUNREACH, ENETUNREACH and the like: an ICMP answer or no route.
        finish(Outcome::Unreachable);
        break;
    }
}

void TcpReachCheck::onTimeout()
{
    finish(Outcome::Timeout);
}

// Queued: an error found inside connectToHost() must not reach the owner inside start().
void TcpReachCheck::finish(Outcome outcome)
{
    if (!m_holds_port)
        return;
    m_outcome = outcome;
    m_elapsed_ms = m_clock.elapsed();
    stop();
    QMetaObject::invokeMethod(this, &TcpReachCheck::finished, Qt::QueuedConnection);
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
