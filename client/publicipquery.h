#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class ControlConnection;

// Asks the server under which address it sees this machine ("getpublicip").
class PublicIpQuery : public QObject
{
    Q_OBJECT

public:
    PublicIpQuery(ControlConnection &connection, int timeoutMs, QObject *parent = nullptr);

    void start();

Q_SIGNALS:
    void answered(const QString &address);
    // The server's answer is not an IP address; answer as it came, to be escaped for printing.
    void rejected(const QString &answer);
    // silent: no answer came in time (rather than the connection being lost).
    void failed(const QString &reason, bool silent);

private Q_SLOTS:
    void onServerLine(const QString &line);
    void onTimeout();
    void onConnectionLost(const QString &reason);

private:
    void end();

    ControlConnection &m_connection;
    QTimer m_limit;
    int m_timeout = 0;
    bool m_done = false;
};
