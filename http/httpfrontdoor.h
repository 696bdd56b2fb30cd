#pragma once

#include "http/callerresolver.h"
#include "http/frontdoorroutes.h"
#include "server/serverlimits.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QTcpServer>

#include <optional>

class HttpConnection;

// The web front door: answers plain HTTP on its own port, on IPv4 and IPv6, with the caller's
// address and TCP port checks (see FrontDoorRoutes). Off unless VX_HTTP_PORT is set.
//
// Threading: everything runs in the thread that created it (the main thread); a port check
// waits on its socket, never on a thread.
class HttpFrontDoor : public QTcpServer
{
    Q_OBJECT

public:
    // Connections served at once, whoever they come from; more are closed at once.
    static constexpr int MaxConnections = 1024;

    // VX_HTTP_PORT, or none when it is not set (or not a port number: reported in the debug log).
    static std::optional<quint16> portFromEnvironment();

    // Listens at once on all addresses, IPv6 and IPv4 (IPv4 alone where the host has no IPv6);
    // isListening() tells whether that worked. Trusted proxies are read from the environment.
    HttpFrontDoor(quint16 port, const ServerLimits &limits, QObject *parent = nullptr);
    ~HttpFrontDoor() override;

    // While paused, like the control server, new connections are closed at once.
    void setPaused(bool paused) { m_paused = paused; }

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void onConnectionClosed();
    bool hasRoomFor(const QHostAddress &peer, const QString &key);

    ServerLimits m_limits;
    CallerResolver m_callers;
    FrontDoorRoutes m_routes;
    QSet<HttpConnection *> m_connections;
    // Open connections per limit key (an IPv4 address, an IPv6 /64 prefix).
    QHash<QString, int> m_key_connections;
    // Keys whose refusal is logged: once until the key has room again ("" for all connections
    // taken).
    QSet<QString> m_refusals_logged;
    bool m_paused = false;
};
