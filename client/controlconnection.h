#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

// The control connection to a tester: opens it within a time limit, over the family asked for
// (or either), sends lines ending in CR LF, and hands on every line sent and received (LF or
// CR LF framed) without its line end. A first line that no tester sends, or bytes without a line
// end that the server closes on, end it as foreign().
class ControlConnection : public QObject
{
    Q_OBJECT

public:
    explicit ControlConnection(QObject *parent = nullptr);
    ~ControlConnection() override;

    void open(const QString &host, quint16 port, int timeoutMs,
              QAbstractSocket::NetworkLayerProtocol family = QAbstractSocket::AnyIPProtocol);
    void sendLine(const QString &line);
    // Ends the connection on purpose, after what was sent: no lost() follows.
    void close();
    // Gives up on the server: lost(reason) follows, as for a connection that broke.
    void abandon(const QString &reason);
    // The server's address as connected to, in text form.
    QString peerAddress() const;
    // This machine's address on the connection: where the server's own connections arrive.
    QHostAddress localAddress() const;
    // "HOST:PORT" as given by the user, for messages; "[HOST]:PORT" for an IPv6 address.
    QString target() const;
    static QString targetText(const QString &host, quint16 port);
    // Whether the server has sent a line yet.
    bool hasAnswered() const { return m_answered; }

Q_SIGNALS:
    void opened();
    void openFailed(const QString &reason);
    void lineReceived(const QString &line);
    void lineSent(const QString &line);
    // The open connection went away; emitted once, and not after foreign().
    void lost(const QString &reason);
    // The server is no tester: what it sent first, as it came.
    void foreign(const QString &sent);

private Q_SLOTS:
    void onConnected();
    void onReadyRead();
    void onErrorOccurred(QAbstractSocket::SocketError error);
    void onDisconnected();
    void onConnectTimeout();

private:
    QString reasonFor(QAbstractSocket::SocketError error) const;
    QString closedReason() const;
    static bool isProtocolLine(const QString &line);
    void fail(const QString &reason);

    QTcpSocket m_socket;
    QTimer m_connect_timer;
    QString m_host;
    quint16 m_port = 0;
    QAbstractSocket::NetworkLayerProtocol m_family = QAbstractSocket::AnyIPProtocol;
    int m_timeout = 0;
    bool m_open = false;
    bool m_ended = false;
    bool m_answered = false;
};
