#pragma once

#include <QHostAddress>
#include <QMap>
#include <QSocketNotifier>
#include <QString>
#include <QTcpServer>
#include <QTimer>

class PortTestHandler;
class QTcpSocket;

// Control server: accepts control connections and gives each a PortTestHandler with a worker
// thread of its own; tears the pair down when the connection closes.
//
// Threading: lives in the thread that created it (the main thread); m_paused and m_clients are
// touched only there and need no lock.
class PortTesterServer : public QTcpServer
{
    Q_OBJECT

public:
    PortTesterServer(const QHostAddress &address, quint16 port, QObject *parent = nullptr);
    ~PortTesterServer() override;

    // While paused, new connections are closed at once; served ones are left alone.
    void pause();
    void resume();
    bool isPaused() const { return m_paused; }

    qsizetype clientCount() const { return m_clients.size(); }
    QString lastError() const { return m_last_error; }

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
    void holdAccepting();
    void closeClients();
    void disposeOf(QTcpSocket *socket, PortTestHandler *handler);

    bool m_paused = false;
    // Owns the handlers and the sockets; neither has a parent.
    QMap<QTcpSocket *, PortTestHandler *> m_clients;
    QString m_last_error;
    // Set while accepting waits for descriptors: a closing connection or m_accept_retry ends
    // the wait (descriptors freed elsewhere give no event).
    bool m_accept_held = false;
    QTimer m_accept_retry;
    QTimer m_trim_timer;
    // Readable when connections wait to be accepted; disabled while accepting is held.
    QSocketNotifier m_accept_notifier{QSocketNotifier::Read};
};
