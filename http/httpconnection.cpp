#include "http/httpconnection.h"

#include "http/frontdoorshared.h"
#include "http/httplogging.h"
#include "http/httpresponse.h"
#include "net/loggedtext.h"
#include "net/logthrottle.h"
#include "net/peeraddress.h"

#include <QThread>

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <utility>

using namespace Qt::StringLiterals;

namespace {
// Answers a client may leave unread before its further requests wait (in the kernel, where TCP
// flow control holds the client back).
constexpr qsizetype kMaxUnsent = 64 * 1024;
// How long a closing connection waits for the client to read the last answer and hang up.
constexpr int kLingerMs = 2000;
constexpr qsizetype kReadChunk = 16 * 1024;

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QString loggedTarget(const HttpRequest &request)
{
    const QString path = QString::fromUtf8(request.path());
    const QByteArray names = request.queryNames();
    return names.isEmpty() ? path : path + u'?' + QString::fromUtf8(names);
}
} // namespace

HttpConnection::HttpConnection(int descriptor, const QHostAddress &peer, FrontDoorShared &shared,
                               LogThrottle &requestLog)
    : m_descriptor(descriptor), m_shared(shared),
      m_request_log(requestLog), m_peer{plainAddress(peer),
                                        plainAddress(peer).toString().toLatin1()},
      m_peer_key(connectionLimitKey(m_peer.address)), m_last_activity_ms(nowMs())
{
}

HttpConnection::~HttpConnection()
{
    close();
}

void HttpConnection::close()
{
    m_pending.reset();
    m_done = true;
    if (m_descriptor >= 0)
        ::close(std::exchange(m_descriptor, -1));
}

void HttpConnection::assertThread() const
{
    Q_ASSERT(QThread::currentThread() == thread());
}

quint32 HttpConnection::wantedEvents() const
{
    quint32 events = 0;
    if (!m_done && !m_input_ended && (m_closing || canServe()))
        events |= EPOLLIN;
    if (!m_done && m_sent < m_out.size())
        events |= EPOLLOUT;
    return events;
}

bool HttpConnection::isIdle() const
{
    return !m_done && !m_closing && !m_pending && m_out.isEmpty() && m_in.isEmpty() &&
           !m_parser.isInsideHead();
}

bool HttpConnection::canServe() const
{
    return !m_closing && !m_pending && m_out.size() - m_sent <= kMaxUnsent;
}

void HttpConnection::onReadable()
{
    assertThread();
    char buffer[kReadChunk];
    while (!m_done && !m_input_ended && (m_closing || canServe())) {
        const ssize_t received = ::recv(m_descriptor, buffer, sizeof(buffer), 0);
        if (received > 0) {
            // Once the last answer is on its way, what else comes is read and dropped.
            if (!m_closing)
                take(QByteArrayView(buffer, received));
            if (received < qsizetype(sizeof(buffer)))
                break;
        } else if (received == 0) {
            endInput();
        } else if (errno != EINTR) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                onBroken();
            break;
        }
    }
    flush();
}

void HttpConnection::onWritable()
{
    assertThread();
    flush();
    resume();
    flush();
}

void HttpConnection::onBroken()
{
    assertThread();
    if (m_pending)
        logRequest(m_pending->request, m_pending->caller, "closed before the answer");
    m_pending.reset();
    m_done = true;
}

void HttpConnection::abort()
{
    const linger reset{1, 0};
    ::setsockopt(m_descriptor, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    onBroken();
}

void HttpConnection::onTick(qint64 nowMs)
{
    assertThread();
    if (m_done || m_pending)
        return;
    const qint64 limit = m_closing ? kLingerMs : IdleTimeoutMs;
    if (nowMs - m_last_activity_ms < limit)
        return;
    if (m_sent < m_out.size() && !m_closing) {
        logEvent(u"unread "_s + m_peer_key, "HttpConnection: " + m_peer.text +
                                                " did not read its answers within " +
                                                QByteArray::number(IdleTimeoutMs) + " ms, closing");
    } else if (m_parser.isInsideHead() || !m_in.isEmpty()) {
        logEvent(u"incomplete "_s + m_peer_key,
                 "HttpConnection: no complete request from " + m_peer.text + " within " +
                     QByteArray::number(IdleTimeoutMs) + " ms, closing");
    }
    // Idle between requests: closed without a word, as every keep-alive connection ends.
    if (m_parser.isInsideHead() || m_sent < m_out.size())
        abort();
    else
        m_done = true;
}

// Parses and serves requests from `data` until one must wait; returns the bytes it took.
qsizetype HttpConnection::process(QByteArrayView data)
{
    qsizetype used = 0;
    while (used < data.size() && canServe()) {
        used += m_parser.feed(data.sliced(used));
        const HttpParser::State state = m_parser.state();
        if (state != HttpParser::State::Complete && state != HttpParser::State::Failed)
            break;
        serve(m_parser.takeRequest());
    }
    return used;
}

// Serves what arrived, after what was held back before it; keeps what must wait.
void HttpConnection::take(QByteArrayView data)
{
    if (m_in.isEmpty()) {
        m_in.append(data.sliced(process(data)));
    } else {
        m_in.append(data);
        m_in.remove(0, process(m_in));
    }
}

// Goes on with what was held back: the input after a request that waited.
void HttpConnection::resume()
{
    if (!m_in.isEmpty() && canServe())
        m_in.remove(0, process(m_in));
    finishIfDrained();
}

void HttpConnection::serve(HttpRequest request)
{
    if (request.errorStatus() != 0) {
        logRequest(request, m_peer, QByteArray::number(request.errorStatus()));
        answer(request, HttpResponse::text(request.errorStatus(), request.errorText() + u'\n'),
               false);
        return;
    }
    if (m_shared.isPaused()) {
        logRequest(request, m_peer, "503 (paused)");
        answer(request, FrontDoorRoutes::pausedAnswer(), false);
        return;
    }
    FrontDoorRoutes::Caller caller = m_peer;
    if (m_shared.callers().isTrusted(m_peer.address)) {
        const std::optional<QHostAddress> forwarded =
            m_shared.callers().callerOf(m_peer.address, request.header("x-forwarded-for"));
        if (!forwarded) {
            logRequest(request, m_peer, "400 (bad X-Forwarded-For)");
            answer(request, HttpResponse::text(400, u"bad X-Forwarded-For\n"_s), false);
            return;
        }
        caller = {*forwarded, forwarded->toString().toLatin1()};
    }
    auto routed = m_shared.routes().route(request, caller);
    if (const auto *response = std::get_if<HttpResponse>(&routed)) {
        logRequest(request, caller, QByteArray::number(response->status()));
        answer(request, *response, request.keepAlive());
        return;
    }
    const auto check = std::get<FrontDoorRoutes::PortCheck>(routed);
    if (!startCheck(request, caller, check)) {
        const HttpResponse busy = m_shared.routes().busyAnswer(request, caller, check);
        logRequest(request, caller, QByteArray::number(busy.status()));
        answer(request, busy, request.keepAlive());
    }
}

bool HttpConnection::startCheck(HttpRequest &request, const FrontDoorRoutes::Caller &caller,
                                const FrontDoorRoutes::PortCheck &check)
{
    std::unique_ptr<TcpReachCheck, DeleteLater> reach(
        new TcpReachCheck(caller.address, check.port, check.timeoutMs, m_shared.reservation()));
    // Connected before it starts; it never finishes from inside start().
    connect(reach.get(), &TcpReachCheck::finished, this, &HttpConnection::onCheckFinished);
    if (!reach->start())
        return false;
    m_pending = PendingCheck{std::move(request), caller, check, std::move(reach)};
    return true;
}

void HttpConnection::onCheckFinished()
{
    assertThread();
    if (!m_pending)
        return;
    const PendingCheck pending = std::move(*m_pending);
    m_pending.reset();
    const TcpReachCheck::Outcome outcome = pending.reach->outcome();
    if (outcome == TcpReachCheck::Outcome::LocalError) {
        logRequest(pending.request, pending.caller, "503 (no room for the check)");
        answer(pending.request,
               HttpResponse::text(503, u"the tester has no room for a check now, try again\n"_s),
               pending.request.keepAlive());
    } else {
        const HttpResponse response = m_shared.routes().checkAnswer(
            pending.request, pending.caller, pending.check, outcome, pending.reach->elapsedMs());
        logRequest(
            pending.request, pending.caller,
            QByteArray(QByteArray::number(response.status()) + ' ' + TcpReachCheck::word(outcome)));
        answer(pending.request, response, pending.request.keepAlive());
    }
    flush();
    resume();
    flush();
    Q_EMIT changed();
}

void HttpConnection::answer(const HttpRequest &request, const HttpResponse &response,
                            bool keepAlive)
{
    // Set before writing: nothing more is served once the last answer is on its way.
    m_closing = !keepAlive;
    response.appendTo(m_out, keepAlive, !request.isHead());
    m_last_activity_ms = nowMs();
}

void HttpConnection::flush()
{
    while (!m_done && m_sent < m_out.size()) {
        const ssize_t sent =
            ::send(m_descriptor, m_out.constData() + m_sent, m_out.size() - m_sent, MSG_NOSIGNAL);
        if (sent > 0) {
            m_sent += sent;
        } else if (errno != EINTR) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                onBroken();
            return;
        }
    }
    if (m_sent < m_out.size() || m_done)
        return;
    m_sent = 0;
    // Kept for the next answer unless it grew for a big one.
    if (m_out.capacity() > 4096)
        m_out = QByteArray();
    else
        m_out.resize(0);
    finishIfDrained();
}

// Input ended: what was received is still served, and the connection ends once it is answered.
void HttpConnection::endInput()
{
    m_input_ended = true;
    finishIfDrained();
}

// A closing connection, once its answers are out, shuts its side and waits for the client to
// hang up (closing with unread input would reset the connection and could destroy the answer
// before the client has read it); a client that has hung up is done once nothing is left.
void HttpConnection::finishIfDrained()
{
    if (m_done || m_pending || !m_out.isEmpty())
        return;
    if (m_closing && !m_write_shut) {
        m_write_shut = true;
        ::shutdown(m_descriptor, SHUT_WR);
    }
    if (m_input_ended && (m_closing || m_in.isEmpty()))
        m_done = true;
}

void HttpConnection::logRequest(const HttpRequest &request, const FrontDoorRoutes::Caller &caller,
                                QByteArrayView outcome)
{
    if (!lcHttp().isDebugEnabled())
        return;
    const bool direct = caller.address == m_peer.address;
    const QString key = direct ? m_peer_key : connectionLimitKey(caller.address);
    const std::optional<qint64> unlogged = m_request_log.admit(key);
    if (!unlogged)
        return;
    const QByteArray from =
        direct ? caller.text : QByteArray(caller.text + " (via " + m_peer.text + ')');
    const QByteArray method =
        request.method().isEmpty() ? "-" : loggedText(QString::fromLatin1(request.method()));
    const QByteArray target = request.path().isEmpty() ? "-" : loggedText(loggedTarget(request));
    qCDebug(lcHttp, "HTTP %s %s from %s: %s%s", method.constData(), target.constData(),
            from.constData(), outcome.toByteArray().constData(),
            LogThrottle::unloggedNote(*unlogged, "requests from there").constData());
}

void HttpConnection::logEvent(const QString &key, const QByteArray &text)
{
    if (const std::optional<qint64> unlogged = m_request_log.admit(key))
        qCDebug(lcHttp, "%s%s", text.constData(),
                LogThrottle::unloggedNote(*unlogged, {}).constData());
}
