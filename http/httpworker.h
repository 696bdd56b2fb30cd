#pragma once

#include "http/httpconnection.h"
#include "net/logthrottle.h"

#include <QHostAddress>
#include <QObject>

#include <memory>
#include <unordered_map>

class HttpService;
class QSocketNotifier;
class QTimer;

// One event-loop thread's share of an HTTP listener: accepts from the shared listening socket
// and serves its connections, each with a handler its service makes. All its descriptors sit in one
// epoll set that the thread's event loop watches through a single notifier, so a ready connection
// costs one wake-up however many are open, and one read and one write per request.
//
// Threading: created in one thread and moved to its own; start() and stop() run there, and
// every other member function too.
class HttpWorker : public QObject
{
    Q_OBJECT

public:
    // `listener`: the listening descriptor, shared with the other workers; it and `service`
    // must outlive the worker.
    HttpWorker(int listener, HttpService &service);
    ~HttpWorker() override;

    // Sets up the epoll set and starts accepting; false when the system refused the set.
    bool start();
    // Closes every connection and stops accepting.
    void stop();

private:
    void onReady();
    void onTick();
    void onAcceptRetry();
    void onTrimMemory();
    void onConnectionChanged();
    void accept();
    void serve(int descriptor, const QHostAddress &peer);
    bool makeRoom();
    bool closeLongestIdle();
    void holdAccepting();
    void resumeAccepting();
    void update(HttpConnection &connection);
    void retire(int descriptor);
    void refuse(int descriptor);
    void logRefusal(const QString &key, const QString &text);
    void assertThread() const;

    struct Watched
    {
        // Deleted later: a connection may be retired from inside its own signal.
        std::unique_ptr<HttpConnection, HttpConnection::DeleteLater> connection;
        quint32 events = 0;
    };

    const int m_listener;
    HttpService &m_service;
    int m_epoll = -1;
    bool m_accepting = false;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::unique_ptr<QTimer> m_tick;
    std::unique_ptr<QTimer> m_accept_retry;
    std::unique_ptr<QTimer> m_trim;
    std::unordered_map<int, Watched> m_connections;
    // Per-request and per-connection lines, one per client every 10 s with a count.
    LogThrottle m_request_log;
};
