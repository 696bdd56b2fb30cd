#pragma once

#include "http/frontdoorroutes.h"
#include "http/httprequest.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <optional>

class CallerResolver;
class PortReservation;
class HttpResponse;
class QTcpSocket;
class TcpReachCheck;

// One HTTP connection of the front door: reads request heads, answers them one at a time and in
// order (a port check holds the next request back until its answer is out), and closes
// connections that send too much or too slowly.
class HttpConnection : public QObject
{
    Q_OBJECT

public:
    // Longest request head; a longer one is answered 431 and the connection closed.
    static constexpr qsizetype MaxHeadBytes = 8 * 1024;
    // Time a client has for each complete request (and to take the answer before); then the
    // connection is closed.
    static constexpr int IdleTimeoutMs = 10000;

    // Takes the socket over; `callers`, `routes` and `reservation` must outlive the connection.
    HttpConnection(QTcpSocket *socket, const CallerResolver &callers, const FrontDoorRoutes &routes,
                   PortReservation &reservation, QObject *parent = nullptr);
    ~HttpConnection() override;

    QHostAddress peerAddress() const { return m_peer; }

Q_SIGNALS:
    // The connection has ended; the owner deletes it later.
    void closed();

private:
    void onReadyRead();
    void onBytesWritten();
    void onIdleTimeout();
    void onDisconnected();
    void onCheckFinished();
    void serveBuffered();
    bool fillBuffer();
    void serve(const HttpRequest &request);
    void answer(const HttpResponse &response, bool keepAlive);
    void closeAfterAnswer();
    void endWriting();
    void logRequest(const HttpRequest &request, const QHostAddress &caller,
                    const QString &outcome) const;

    QTcpSocket *m_socket;
    const CallerResolver &m_callers;
    const FrontDoorRoutes &m_routes;
    PortReservation &m_reservation;
    QHostAddress m_peer;
    QByteArray m_buffer;
    QTimer m_idle_timer;
    // The request whose port check runs, with its caller and order.
    std::optional<HttpRequest> m_waiting;
    QHostAddress m_caller;
    FrontDoorRoutes::PortCheck m_check;
    TcpReachCheck *m_reach_check = nullptr;
    // Set once the last answer is written: the rest of the input is read and dropped.
    bool m_closing = false;
    // Set while serving waits for the client to read the answers it was sent.
    bool m_write_held = false;
};
