#pragma once

#include "http/frontdoorroutes.h"
#include "http/httpparser.h"
#include "http/tcpreachcheck.h"

#include <QByteArray>
#include <QObject>

#include <memory>
#include <optional>

class FrontDoorShared;
class HttpResponse;
class LogThrottle;

// One HTTP connection of the front door on a socket descriptor of its own: reads request heads,
// answers them one at a time and in order (a port check holds the next request back until its
// answer is out), and ends connections that send too much or too slowly. Its worker watches the
// descriptor for the events wantedEvents() names and calls in when they come.
//
// Threading: lives in its worker's thread and is used there only.
class HttpConnection : public QObject
{
    Q_OBJECT

public:
    // For objects that may still be inside one of their signals.
    struct DeleteLater
    {
        void operator()(QObject *object) const { object->deleteLater(); }
    };

    // Time a client has for each complete request, and to take the answers it was sent; then
    // the connection is closed.
    static constexpr int IdleTimeoutMs = 10000;

    // Takes the connected, non-blocking descriptor over; `shared` and `requestLog` must outlive
    // the connection.
    HttpConnection(int descriptor, const QHostAddress &peer, FrontDoorShared &shared,
                   LogThrottle &requestLog);
    ~HttpConnection() override;
    // Closes the descriptor (it leaves the worker's epoll set with it) and stops a running
    // check; the object may be deleted later.
    void close();

    int descriptor() const { return m_descriptor; }
    QHostAddress peerAddress() const { return m_peer.address; }

    void onReadable();
    void onWritable();
    // The peer reset the connection or it failed.
    void onBroken();
    // Called now and then: ends the connection once its time is up.
    void onTick(qint64 nowMs);

    // EPOLLIN / EPOLLOUT as the connection needs them now.
    quint32 wantedEvents() const;
    bool isDone() const { return m_done; }
    // Kept open between requests with nothing under way: the first to go when room is short.
    bool isIdle() const;
    qint64 lastActivityMs() const { return m_last_activity_ms; }
    // Ends it at once (no more room); it is done afterwards.
    void abort();

Q_SIGNALS:
    // Something changed outside a call from the worker (a port check ended): the worker looks
    // at wantedEvents() and isDone() again.
    void changed();

private:
    // The request whose port check runs; its answer goes out before anything else is read.
    struct PendingCheck
    {
        HttpRequest request;
        FrontDoorRoutes::Caller caller;
        FrontDoorRoutes::PortCheck check;
        // May still be inside its own signal when the check ends.
        std::unique_ptr<TcpReachCheck, DeleteLater> reach;
    };

    void onCheckFinished();
    bool canServe() const;
    void take(QByteArrayView data);
    qsizetype process(QByteArrayView data);
    void resume();
    void serve(HttpRequest request);
    bool startCheck(HttpRequest &request, const FrontDoorRoutes::Caller &caller,
                    const FrontDoorRoutes::PortCheck &check);
    void answer(const HttpRequest &request, const HttpResponse &response, bool keepAlive);
    void flush();
    void endInput();
    void finishIfDrained();
    void logRequest(const HttpRequest &request, const FrontDoorRoutes::Caller &caller,
                    QByteArrayView outcome);
    void logEvent(const QString &key, const QByteArray &text);
    void assertThread() const;

    int m_descriptor;
    FrontDoorShared &m_shared;
    LogThrottle &m_request_log;
    FrontDoorRoutes::Caller m_peer;
    QString m_peer_key;
    HttpParser m_parser;
    // Received, not yet parsed: what came after a request that must wait.
    QByteArray m_in;
    QByteArray m_out;
    qsizetype m_sent = 0;
    std::optional<PendingCheck> m_pending;
    qint64 m_last_activity_ms = 0;
    // Set once the last answer is queued: the rest of the input is read and dropped.
    bool m_closing = false;
    bool m_write_shut = false;
    bool m_input_ended = false;
    bool m_done = false;
};
