#pragma once

#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

// The control connection to a tester: opens it within a time limit, sends lines ending in
// CR LF, and hands on every received line (LF or CR LF framed) without its line end.
class ControlConnection : public QObject
{
    Q_OBJECT

public:
    explicit ControlConnection(QObject *parent = nullptr);
    ~ControlConnection() override;

    void open(const QString &host, quint16 port, int timeoutMs);
    void sendLine(const QString &line);
    // Ends the connection on purpose, after what was sent: no lost() follows.
    void close();
    // The server's address as connected to, in text form.
    QString peerAddress() const;
    // "HOST:PORT" as given by the user, for messages.
    QString target() const;

Q_SIGNALS:
    void opened();
    void openFailed(const QString &reason);
    void lineReceived(const QString &line);
    // The open connection went away; emitted once.
    void lost(const QString &reason);

private Q_SLOTS:
    void onConnected();
    void onReadyRead();
    void onErrorOccurred(QAbstractSocket::SocketError error);
    void onDisconnected();
    void onConnectTimeout();

private:
    QString reasonFor(QAbstractSocket::SocketError error) const;
    void fail(const QString &reason);

    QTcpSocket m_socket;
    QTimer m_connect_timer;
    QString m_host;
    quint16 m_port = 0;
    int m_timeout = 0;
    bool m_open = false;
    bool m_ended = false;
};
