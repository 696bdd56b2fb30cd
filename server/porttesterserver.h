#pragma once

#include "server/serverlimits.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QHostAddress>
#include <QMap>
#include <QSocketNotifier>
#include <QString>
#include <QTcpServer>
#include <QTimer>

class PortTestHandler;
class QTcpSocket;

// Control server: accepts control connections and gives each a PortTestHandler with a worker
// thread of its own; tears the pair down when the connection closes. Listening on
// QHostAddress::Any serves IPv4 and IPv6 clients on one dual-stack socket, or IPv4 clients
// alone where the host has no IPv6 (said once in the debug log).
//
// Threading: lives in the thread that created it (the main thread); m_paused and m_clients are
// touched only there and need no lock.
class PortTesterServer : public QTcpServer
{
    Q_OBJECT

public:
    PortTesterServer(const QHostAddress &address, quint16 port,
                     const ServerLimits &limits = ServerLimits(), QObject *parent = nullptr);
    ~PortTesterServer() override;

    // While paused, new connections are closed at once; served ones are left alone.
    void pause();
    void resume();
    bool isPaused() const { return m_paused; }

    qsizetype clientCount() const { return m_clients.size(); }

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private Q_SLOTS:
    void discardClient();
    void onAcceptReady();
    void onAcceptRetry();
    void onTrimMemory();

private:
    void serve(qintptr socketDescriptor);
    void refuse(qintptr socketDescriptor);
    bool hasDescriptorsForClient() const;
    bool listenOnBothFamilies(quint16 port);
    bool addressHasRoom(const QString &key) const;
    void logRefusal(const QString &key, const QString &message);
    void holdAccepting();
    void closeClients();
    void forgetClient(const PortTestHandler *handler);
    void disposeOf(QTcpSocket *socket, PortTestHandler *handler);

    bool m_paused = false;
    // Owns the handlers and the sockets; neither has a parent.
    QMap<QTcpSocket *, PortTestHandler *> m_clients;
    ServerLimits m_limits;
    // Set when listening was tried on both families at once.
    bool m_dual_stack = false;
    // Served connections per connectionLimitKey() of the peer (an IPv4 address, an IPv6 /64).
    QHash<QString, int> m_address_clients;
    // Until when refusals for a key (a connection-limit key, or "" for lack of descriptors) go
    // unlogged: a client that reconnects in a loop must not flood the log.
    QHash<QString, QDeadlineTimer> m_refusal_log_quiet;
    // Descriptors the process held before it served anyone; every served connection is then
    // counted at the most its connection, worker and test can hold at once.
    int m_base_descriptors = 0;
    // Set while accepting waits after accept() itself failed for lack of descriptors or
    // memory: a closing connection or m_accept_retry ends the wait (resources freed elsewhere
    // give no event).
    bool m_accept_held = false;
    QTimer m_accept_retry;
    QTimer m_trim_timer;
    // Readable when connections wait to be accepted; disabled while accepting is held.
    QSocketNotifier m_accept_notifier{QSocketNotifier::Read};
};
