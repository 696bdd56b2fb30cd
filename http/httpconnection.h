#pragma once

#include "http/httphandler.h"
#include "http/httpoutput.h"
#include "http/httpparser.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

#include <chrono>
#include <memory>

class LogThrottle;

// One HTTP connection on a socket descriptor of its own: reads request heads, hands each to its
// handler and sends the answers in order (an answer the handler defers holds the next request
// back until it is out), keeps the connection alive between requests, and ends connections
// that send too much or too slowly. Its worker watches the descriptor for the events
// wantedEvents() names and calls in when they come.
//
// Memory held at most, whatever the client sends or however it reads: another request is served
// only while the answers not yet sent are within MaxUnsentBytes, so they stay under that plus the
// largest answer (A); the output queue adds the part already sent of its first chunk (under
// HttpOutput::ChunkBytes or A), the room left in its last (under ChunkBytes) and its spare
// (SpareBytes); input is read only once what was read before is parsed, so at most ReadBytes of
// it waits, and the parser keeps at most one head (HttpParser::MaxHeadBytes). The front door's
// largest answer is its page, under 20 KiB even with an 8 KiB Host shown in it: 64 + 2 x 20 +
// 3 x 4 + 16 KiB, under MaxHeldBytes (136 KiB) beside the head being parsed.
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
    // Answers a client may leave unread before its further requests wait (in the kernel, where
    // TCP flow control holds the client back).
    static constexpr qsizetype MaxUnsentBytes = 64 * 1024;
    // One read from the socket.
    static constexpr qsizetype ReadBytes = 16 * 1024;
    static constexpr qsizetype MaxHeldBytes = 136 * 1024;

    // Takes the connected, non-blocking descriptor and the handler over; `log` must outlive
    // the connection.
    HttpConnection(int descriptor, const QHostAddress &peer, std::unique_ptr<HttpHandler> handler,
                   LogThrottle &log);
    ~HttpConnection() override;
    // Closes the descriptor (it leaves the worker's epoll set with it) and abandons a deferred
    // answer; the object may be deleted later.
    void close();

    int descriptor() const { return m_descriptor; }
    QHostAddress peerAddress() const { return m_peer; }

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
    // Heap bytes held for the client now, but for the head being parsed.
    qsizetype heldBytes() const;

Q_SIGNALS:
    // Something changed outside a call from the worker (a deferred answer came): the worker
    // looks at wantedEvents() and isDone() again.
    void changed();

private:
    bool canServe() const;
    bool canRead() const;
    qsizetype process(QByteArrayView data);
    void serve(const HttpRequest &request);
    void onDeferredAnswer(quint64 serial, const HttpHandler::Answer &answer);
    void queue(const HttpResponse &response, bool keepAlive);
    void pump();
    bool flush();
    void endInput();
    void finishIfDrained();
    void logEvent(const QString &key, const QByteArray &text);
    void assertThread() const;

    int m_descriptor;
    QHostAddress m_peer;
    QByteArray m_peer_text;
    QString m_peer_key;
    std::unique_ptr<HttpHandler> m_handler;
    LogThrottle &m_log;
    HttpParser m_parser;
    // Received, not yet parsed: what came after a request that must wait.
    QByteArray m_in;
    HttpOutput m_out;
    // Whether the answer to the request served last is still to come, and that request's
    // number (a late answer for an abandoned one is ignored).
    bool m_deferred = false;
    bool m_deferred_head = false;
    // When the request whose answer is deferred was whole.
    std::chrono::steady_clock::time_point m_deferred_since;
    quint64 m_serial = 0;
    qint64 m_last_activity_ms = 0;
    // Set once the last answer is queued: the rest of the input is read and dropped.
    bool m_closing = false;
    bool m_write_shut = false;
    bool m_input_ended = false;
    bool m_done = false;
};
