#include "http/httpworker.h"

#include "http/httpconnection.h"
#include "http/httphandler.h"
#include "http/httplogging.h"
#include "http/httpservice.h"
#include "net/acceptpacing.h"
#include "net/descriptorbudget.h"
#include "net/logthrottle.h"
#include "net/peeraddress.h"

#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

using namespace Qt::StringLiterals;

namespace {
constexpr int kEventsPerWait = 128;
constexpr int kTickMs = 500;

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

HttpWorker::HttpWorker(int listener, HttpService &service)
    : m_listener(listener), m_service(service)
{
}

HttpWorker::~HttpWorker()
{
    Q_ASSERT(m_connections.empty() && m_epoll < 0);
}

void HttpWorker::assertThread() const
{
    Q_ASSERT(QThread::currentThread() == thread());
}

bool HttpWorker::start()
{
    assertThread();
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_epoll < 0) {
        qCDebug(lcHttp, "HttpWorker: no epoll set (%s)", std::strerror(errno));
        return false;
    }
    m_notifier = std::make_unique<QSocketNotifier>(m_epoll, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &HttpWorker::onReady);
    m_tick = std::make_unique<QTimer>();
    m_tick->setInterval(kTickMs);
    connect(m_tick.get(), &QTimer::timeout, this, &HttpWorker::onTick);
    m_accept_retry = std::make_unique<QTimer>();
    m_accept_retry->setSingleShot(true);
    m_accept_retry->setInterval(AcceptPacing::RetryMs);
    connect(m_accept_retry.get(), &QTimer::timeout, this, &HttpWorker::onAcceptRetry);
    m_trim = std::make_unique<QTimer>();
    m_trim->setSingleShot(true);
    m_trim->setInterval(AcceptPacing::TrimDelayMs);
    connect(m_trim.get(), &QTimer::timeout, this, &HttpWorker::onTrimMemory);
    resumeAccepting();
    return true;
}

void HttpWorker::stop()
{
    assertThread();
    while (!m_connections.empty())
        retire(m_connections.begin()->first);
    m_notifier.reset();
    m_tick.reset();
    m_accept_retry.reset();
    m_trim.reset();
    if (m_epoll >= 0)
        ::close(m_epoll);
    m_epoll = -1;
}

// One wake-up of the event loop: everything ready now, in one go.
void HttpWorker::onReady()
{
    assertThread();
    epoll_event events[kEventsPerWait];
    const int count = ::epoll_wait(m_epoll, events, kEventsPerWait, 0);
    for (int i = 0; i < count; ++i) {
        const int descriptor = events[i].data.fd;
        if (descriptor == m_listener) {
            accept();
            continue;
        }
        const auto it = m_connections.find(descriptor);
        if (it == m_connections.end())
            continue;
        HttpConnection &connection = *it->second.connection;
        const quint32 happened = events[i].events;
        if (happened & (EPOLLERR | EPOLLHUP))
            connection.onBroken();
        if (happened & EPOLLOUT)
            connection.onWritable();
        if (happened & EPOLLIN)
            connection.onReadable();
        update(connection);
    }
}

void HttpWorker::accept()
{
    for (int i = 0; i < AcceptPacing::Batch && m_accepting; ++i) {
        sockaddr_storage address{};
        socklen_t length = sizeof(address);
        const int descriptor = ::accept4(m_listener, reinterpret_cast<sockaddr *>(&address),
                                         &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (descriptor >= 0) {
            serve(descriptor, QHostAddress(reinterpret_cast<const sockaddr *>(&address)));
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            // Out of descriptors or kernel memory: the clients wait in the listen queue, and
            // accepting waits too rather than spinning on a queue it cannot empty.
            logRefusal(u"accept"_s,
                       u"%1: accepting failed (%2), holding accepting"_s.arg(
                           m_service.name(), QString::fromLocal8Bit(std::strerror(errno))));
            holdAccepting();
        }
        return;
    }
}

void HttpWorker::serve(int descriptor, const QHostAddress &address)
{
    const QHostAddress peer = plainAddress(address);
    if (!m_service.admit(peer)) {
        const QString key = connectionLimitKey(peer);
        logRefusal(key, u"%1: %2 already has %3 connections, closing new ones"_s.arg(
                            m_service.name(), key, QString::number(m_service.count(peer))));
        refuse(descriptor);
        return;
    }
    if (!makeRoom()) {
        m_service.release(peer);
        logRefusal(QString(),
                   u"%1: no room for more connections (%2 open), closing new ones (from %3)"_s.arg(
                       m_service.name(), QString::number(m_service.openCount()), peer.toString()));
        refuse(descriptor);
        return;
    }
    // Each answer is one write: sent at once, not held back for the acknowledgement of the last.
    const int on = 1;
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    std::unique_ptr<HttpConnection, HttpConnection::DeleteLater> connection(new HttpConnection(
        descriptor, peer, m_service.createHandler(peer, m_request_log), m_request_log));
    connect(connection.get(), &HttpConnection::changed, this, &HttpWorker::onConnectionChanged);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = descriptor;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, descriptor, &event);
    m_connections.emplace(descriptor, Watched{std::move(connection), EPOLLIN});
    m_service.countOpened();
    if (!m_tick->isActive())
        m_tick->start();
}

// A place within the cap on connections and descriptors for both of a connection's sockets;
// when there is none, an idle keep-alive connection of this worker makes way, as in every
// well-run web server: it costs its client one reconnect, a refusal would cost a request.
bool HttpWorker::makeRoom()
{
    while (m_service.openCount() >= m_service.maxConnections()) {
        if (!closeLongestIdle())
            return false;
    }
    while (!m_service.takeDescriptors()) {
        if (!closeLongestIdle())
            return false;
    }
    return true;
}

bool HttpWorker::closeLongestIdle()
{
    HttpConnection *idlest = nullptr;
    for (const auto &[descriptor, watched] : m_connections) {
        HttpConnection *connection = watched.connection.get();
        if (connection->isIdle() &&
            (!idlest || connection->lastActivityMs() < idlest->lastActivityMs()))
            idlest = connection;
    }
    if (!idlest)
        return false;
    idlest->abort();
    retire(idlest->descriptor());
    m_service.countIdleEviction();
    return true;
}

// Closed unanswered, as the control port does: the client sees the connection end.
void HttpWorker::refuse(int descriptor)
{
    ::close(descriptor);
}

void HttpWorker::onConnectionChanged()
{
    assertThread();
    auto *connection = qobject_cast<HttpConnection *>(sender());
    if (connection && m_connections.count(connection->descriptor()))
        update(*connection);
}

// Watches what the connection waits for now, or retires it when it is done.
void HttpWorker::update(HttpConnection &connection)
{
    const int descriptor = connection.descriptor();
    if (connection.isDone()) {
        retire(descriptor);
        return;
    }
    Watched &watched = m_connections.at(descriptor);
    const quint32 wanted = connection.wantedEvents();
    if (wanted == watched.events)
        return;
    epoll_event event{};
    event.events = wanted;
    event.data.fd = descriptor;
    ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, descriptor, &event);
    watched.events = wanted;
}

void HttpWorker::retire(int descriptor)
{
    const auto it = m_connections.find(descriptor);
    if (it == m_connections.end())
        return;
    const auto connection = std::move(it->second.connection);
    m_connections.erase(it);
    const QHostAddress peer = connection->peerAddress();
    connection->close();
    m_service.release(peer);
    m_service.countClosed();
    m_service.giveDescriptors();
    if (m_connections.empty())
        m_tick->stop();
    if (!m_trim->isActive())
        m_trim->start();
    // Its descriptor is free now.
    onAcceptRetry();
}

void HttpWorker::onTick()
{
    assertThread();
    const qint64 now = nowMs();
    std::vector<HttpConnection *> ticked;
    ticked.reserve(m_connections.size());
    for (const auto &[descriptor, watched] : m_connections)
        ticked.push_back(watched.connection.get());
    for (HttpConnection *connection : ticked) {
        connection->onTick(now);
        if (connection->isDone())
            retire(connection->descriptor());
    }
}

void HttpWorker::holdAccepting()
{
    if (!m_accepting)
        return;
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, m_listener, nullptr);
    m_accepting = false;
    m_accept_retry->start();
}

void HttpWorker::onAcceptRetry()
{
    if (m_accepting || m_epoll < 0)
        return;
    m_accept_retry->stop();
    resumeAccepting();
}

// The listener is in every worker's set; EPOLLEXCLUSIVE wakes one of them per connection.
void HttpWorker::resumeAccepting()
{
    epoll_event event{};
    event.events = EPOLLIN | EPOLLEXCLUSIVE;
    event.data.fd = m_listener;
    m_accepting = ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_listener, &event) == 0;
}

void HttpWorker::onTrimMemory()
{
    AcceptPacing::trimMemory();
}

void HttpWorker::logRefusal(const QString &key, const QString &text)
{
    if (const std::optional<qint64> unlogged = m_service.admitRefusalLog(key))
        qCDebug(lcHttp, "%s%s", qPrintable(text),
                LogThrottle::unloggedNote(*unlogged, "refused").constData());
}
