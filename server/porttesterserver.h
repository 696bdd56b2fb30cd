#pragma once

#include "log/eventsink.h"
#include "net/connectionlimiter.h"
#include "net/descriptorbudget.h"
#include "net/serverlimits.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

#include <map>
#include <memory>

class PortReservation;
class RateLimiter;
class PortTestHandler;
class TesterMetrics;
class QTcpSocket;

// Control server: serves the control connections arriving at the listener it is handed, giving
// each a PortTestHandler with a worker thread of its own, and tears the pair down when the
// connection closes.
//
// Threading: lives in the thread that created it (the main thread); m_paused, m_clients and
// m_limiter are touched only there and need no lock.
class PortTesterServer : public QObject
{
    Q_OBJECT

public:
    // A listen backlog for the listener it is handed: a burst of connections waits in the kernel
    // while the workers start.
    static constexpr int ListenBacklog = 4096;

    // `reservation` and `budget` are shared with the web front door and, with `metrics`, must
    // outlive the server; `events` gets each opened and closed connection.
    PortTesterServer(const ServerLimits &limits, PortReservation &reservation,
                     DescriptorBudget &budget, TesterMetrics &metrics, EventSink events,
                     QObject *parent = nullptr);
    ~PortTesterServer() override;

    // Takes the listening socket over and serves it from now on.
    void serve(std::unique_ptr<QTcpServer> listener);
    quint16 serverPort() const;

    // While paused, new connections are closed at once; served ones are left alone.
    void pause();
    void resume();
    bool isPaused() const { return m_paused; }

    qsizetype clientCount() const { return qsizetype(m_clients.size()); }

private Q_SLOTS:
    void onDisconnected();
    void onAcceptReady();
    void onAcceptRetry();
    void onTrimMemory();

private:
    // One served connection. The handler goes first: its destructor ends the worker thread, and
    // only then is the socket, which belongs to that thread, safe to free from here.
    struct Client
    {
        std::unique_ptr<QTcpSocket> socket;
        std::unique_ptr<PortTestHandler> handler;
        QHostAddress peer;
    };

    void incomingConnection(qintptr socketDescriptor);
    void serveConnection(qintptr socketDescriptor);
    static void refuse(qintptr socketDescriptor);
    void logRefusal(const QString &key, const QString &message);
    bool takeDescriptors();
    bool closeIdlest();
    void holdAccepting();
    void closeClients();
    void dispose(Client client);
    void assertThread() const;

    ServerLimits m_limits;
    PortReservation &m_reservation;
    DescriptorBudget &m_budget;
    // This door's part of the budget, with the floor the web door cannot take.
    const DescriptorBudget::Share m_share;
    TesterMetrics &m_metrics;
    EventSink m_events;
    // Tests per address and minute (VX_CONTROL_TESTS_PER_MINUTE); null: no limit.
    std::unique_ptr<RateLimiter> m_test_rate;
    std::unique_ptr<QTcpServer> m_listener;
    bool m_paused = false;
    std::map<QTcpSocket *, Client> m_clients;
    ConnectionLimiter m_limiter;
    // Set while accepting waits after accept() itself failed for lack of descriptors or
    // memory: a closing connection or m_accept_retry ends the wait (resources freed elsewhere
    // give no event).
    bool m_accept_held = false;
    QTimer m_accept_retry;
    QTimer m_trim_timer;
    // Readable when connections wait to be accepted; disabled while accepting is held.
    QSocketNotifier m_accept_notifier{QSocketNotifier::Read};
};
