#pragma once

#include <QString>
#include <QTcpServer>

#include <memory>
#include <vector>

class HttpService;
class HttpWorker;
class QThread;

// One HTTP listener served by worker threads with event loops of their own, each accepting from
// the shared listening socket and answering with the handlers its service makes. The thread
// that calls serve() is never loaded by the connections.
//
// Threading: serve(), stop() and the destructor run in one thread.
class HttpListener
{
public:
    // `service` must outlive the listener; the threads are named `threadName`-0, -1, ...
    HttpListener(HttpService &service, int threads, const QString &threadName);
    // Closes every connection and ends the worker threads.
    ~HttpListener();
    HttpListener(const HttpListener &) = delete;
    HttpListener &operator=(const HttpListener &) = delete;

    // Takes the listening socket over and serves it from now on; false when no worker thread
    // could be started.
    bool serve(std::unique_ptr<QTcpServer> listener);
    quint16 serverPort() const;
    int threads() const { return m_threads; }
    void stop();

private:
    struct Lane
    {
        std::unique_ptr<QThread> thread;
        std::unique_ptr<HttpWorker> worker;
    };

    HttpService &m_service;
    const int m_threads;
    const QString m_thread_name;
    std::unique_ptr<QTcpServer> m_listener;
    std::vector<Lane> m_lanes;
};
