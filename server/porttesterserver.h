#pragma once

#include <QHostAddress>
#include <QMap>
#include <QString>
#include <QTcpServer>

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

private:
    void closeClients();
    void disposeOf(QTcpSocket *socket, PortTestHandler *handler);

    bool m_paused = false;
    // Owns the handlers and the sockets; neither has a parent.
    QMap<QTcpSocket *, PortTestHandler *> m_clients;
    QString m_last_error;
};
