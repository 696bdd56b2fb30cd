#pragma once

#include "http/callerresolver.h"
#include "http/frontdoorroutes.h"
#include "http/frontdoorsettings.h"
#include "net/connectionlimiter.h"
#include "net/serverlimits.h"

#include <QObject>
#include <QSet>
#include <QTcpServer>

#include <memory>

class DescriptorBudget;
class HttpConnection;
class PortReservation;

// The web front door: answers plain HTTP on the listener it is handed, with the caller's address
// and TCP port checks (see FrontDoorRoutes).
//
// Threading: everything runs in the thread that created it (the main thread); a port check
// waits on its socket, never on a thread.
class HttpFrontDoor : public QObject
{
    Q_OBJECT

public:
    // Connections served at once, whoever they come from; more are closed at once.
    static constexpr int MaxConnections = 1024;
    static constexpr int ListenBacklog = 4096;

    // `reservation` and `budget` are shared with the control server and must outlive the door.
    HttpFrontDoor(const FrontDoorSettings &settings, const ServerLimits &limits,
                  PortReservation &reservation, DescriptorBudget &budget,
                  QObject *parent = nullptr);
    ~HttpFrontDoor() override;

    // Takes the listening socket over and serves it from now on.
    void serve(std::unique_ptr<QTcpServer> listener);
    quint16 serverPort() const;

    // While paused, like the control server, new connections are closed at once.
    void setPaused(bool paused) { m_paused = paused; }

private:
    void onPendingConnection();
    void onConnectionClosed();
    void serveConnection(QTcpSocket *socket);
    bool hasRoomFor(const QHostAddress &peer);

    ServerLimits m_limits;
    PortReservation &m_reservation;
    DescriptorBudget &m_budget;
    CallerResolver m_callers;
    FrontDoorRoutes m_routes;
    std::unique_ptr<QTcpServer> m_listener;
    QSet<HttpConnection *> m_connections;
    ConnectionLimiter m_limiter;
    bool m_paused = false;
};
