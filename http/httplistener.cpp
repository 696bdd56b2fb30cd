#include "http/httplistener.h"

#include "http/httpworker.h"

#include <QThread>

#include <algorithm>
#include <utility>

HttpListener::HttpListener(HttpService &service, int threads, const QString &threadName)
    : m_service(service), m_threads(std::max(1, threads)), m_thread_name(threadName)
{
}

HttpListener::~HttpListener()
{
    stop();
}

bool HttpListener::serve(std::unique_ptr<QTcpServer> listener)
{
    Q_ASSERT(listener && listener->isListening());
    m_listener = std::move(listener);
    // The workers accept from its descriptor themselves.
    m_listener->pauseAccepting();
    const int descriptor = int(m_listener->socketDescriptor());
    for (int i = 0; i < m_threads; ++i) {
        Lane lane{std::make_unique<QThread>(), std::make_unique<HttpWorker>(descriptor, m_service)};
        lane.thread->setObjectName(m_thread_name + u'-' + QString::number(i));
        lane.worker->moveToThread(lane.thread.get());
        lane.thread->start();
        bool started = false;
        // Waited for: once serve() returns, every descriptor the listener keeps is open.
        QMetaObject::invokeMethod(
            lane.worker.get(), [&] { started = lane.worker->start(); },
            Qt::BlockingQueuedConnection);
        m_lanes.push_back(std::move(lane));
        if (!started) {
            stop();
            return false;
        }
    }
    return true;
}

quint16 HttpListener::serverPort() const
{
    return m_listener ? m_listener->serverPort() : 0;
}

void HttpListener::stop()
{
    for (Lane &lane : m_lanes) {
        QMetaObject::invokeMethod(lane.worker.get(), &HttpWorker::stop,
                                  Qt::BlockingQueuedConnection);
        lane.thread->quit();
        lane.thread->wait();
        lane.worker.reset();
    }
    m_lanes.clear();
}
