#include "http/httpconnection.h"

#include "http/httplogging.h"
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
// How long a closing connection waits for the client to read the last answer and hang up.
constexpr int kLingerMs = 2000;

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

HttpConnection::HttpConnection(int descriptor, const QHostAddress &peer,
                               std::unique_ptr<HttpHandler> handler, LogThrottle &log)
    : m_descriptor(descriptor), m_peer(plainAddress(peer)),
      m_peer_text(m_peer.toString().toLatin1()), m_peer_key(connectionLimitKey(m_peer)),
      m_handler(std::move(handler)), m_log(log), m_last_activity_ms(nowMs())
{
}

HttpConnection::~HttpConnection()
{
    close();
}

void HttpConnection::close()
{
    if (std::exchange(m_deferred, false))
        m_handler->abandon();
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
    if (canRead())
        events |= EPOLLIN;
    if (!m_done && !m_out.isEmpty())
        events |= EPOLLOUT;
    return events;
}

bool HttpConnection::isIdle() const
{
    return !m_done && !m_closing && !m_deferred && m_out.isEmpty() && m_in.isEmpty() &&
           !m_parser.isInsideHead();
}

qsizetype HttpConnection::heldBytes() const
{
    return m_in.capacity() + m_out.footprint();
}

bool HttpConnection::canServe() const
{
    return !m_closing && !m_deferred && m_out.unsent() <= MaxUnsentBytes;
}

// Nothing is read while earlier input waits: what is held stays within one read.
bool HttpConnection::canRead() const
{
    return !m_done && !m_input_ended && (m_closing || (canServe() && m_in.isEmpty()));
}

void HttpConnection::onReadable()
{
    assertThread();
    char buffer[ReadBytes];
    while (canRead()) {
        const ssize_t received = ::recv(m_descriptor, buffer, sizeof(buffer), 0);
        if (received > 0) {
            // Once the last answer is on its way, what else comes is read and dropped.
            if (!m_closing) {
                const QByteArrayView data(buffer, received);
                m_in = data.sliced(process(data)).toByteArray();
            }
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
    pump();
}

void HttpConnection::onWritable()
{
    assertThread();
    pump();
}

void HttpConnection::onBroken()
{
    assertThread();
    if (std::exchange(m_deferred, false))
        m_handler->abandon();
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
    if (m_done || m_deferred)
        return;
    const qint64 limit = m_closing ? kLingerMs : IdleTimeoutMs;
    if (nowMs - m_last_activity_ms < limit)
        return;
    if (!m_out.isEmpty() && !m_closing) {
        logEvent(u"unread "_s + m_peer_key, "HttpConnection: " + m_peer_text +
                                                " did not read its answers within " +
                                                QByteArray::number(IdleTimeoutMs) + " ms, closing");
    } else if (m_parser.isInsideHead() || !m_in.isEmpty()) {
        logEvent(u"incomplete "_s + m_peer_key,
                 "HttpConnection: no complete request from " + m_peer_text + " within " +
                     QByteArray::number(IdleTimeoutMs) + " ms, closing");
    }
    // Idle between requests: closed without a word, as every keep-alive connection ends.
    if (m_parser.isInsideHead() || !m_out.isEmpty())
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

void HttpConnection::serve(const HttpRequest &request)
{
    const std::chrono::steady_clock::time_point whole = std::chrono::steady_clock::now();
    if (request.errorStatus() != 0) {
        const HttpResponse refusal =
            HttpResponse::text(request.errorStatus(), request.errorText() + u'\n');
        m_handler->refused(request, refusal);
        m_out.append(refusal, false, !request.isHead());
        m_handler->answered(refusal.status(), secondsSince(whole));
        m_closing = true;
        m_last_activity_ms = nowMs();
        return;
    }
    const quint64 serial = ++m_serial;
    std::optional<HttpHandler::Answer> answer =
        m_handler->handle(request, [this, serial](const HttpHandler::Answer &late) {
            onDeferredAnswer(serial, late);
        });
    if (!answer) {
        m_deferred = true;
        m_deferred_head = request.isHead();
        m_deferred_since = whole;
        return;
    }
    // Set before writing: nothing more is served once the last answer is on its way.
    m_closing = !answer->keepAlive;
    m_out.append(answer->response, answer->keepAlive, !request.isHead());
    m_handler->answered(answer->response.status(), secondsSince(whole));
    m_last_activity_ms = nowMs();
}

void HttpConnection::onDeferredAnswer(quint64 serial, const HttpHandler::Answer &answer)
{
    assertThread();
    if (!m_deferred || serial != m_serial || m_done)
        return;
    m_deferred = false;
    m_closing = !answer.keepAlive;
    m_out.append(answer.response, answer.keepAlive, !m_deferred_head);
    m_handler->answered(answer.response.status(), secondsSince(m_deferred_since));
    m_last_activity_ms = nowMs();
    pump();
    Q_EMIT changed();
}

// Every path that sends ends here: the output goes out as far as the socket takes it, and the
// requests held back behind it are served as soon as there is room, until input or room runs
// out.
void HttpConnection::pump()
{
    while (flush() && !m_in.isEmpty() && canServe())
        m_in.remove(0, process(m_in));
    if (m_in.isEmpty() && m_in.capacity() > 0)
        m_in = QByteArray();
    finishIfDrained();
}

// Sends what the socket takes; true when nothing is left to send.
bool HttpConnection::flush()
{
    if (m_done)
        return false;
    switch (m_out.sendTo(m_descriptor)) {
    case HttpOutput::Sent::All:
        return true;
    case HttpOutput::Sent::Blocked:
        // Room may still be there for more requests.
        return m_out.unsent() <= MaxUnsentBytes;
    case HttpOutput::Sent::Failed:
        onBroken();
        return false;
    }
    return false;
}

// Input ended: what was received is still served, and the connection ends once it is answered.
void HttpConnection::endInput()
{
    m_input_ended = true;
}

// A closing connection, once its answers are out, shuts its side and waits for the client to
// hang up (closing with unread input would reset the connection and could destroy the answer
// before the client has read it); a client that has hung up is done once nothing is left.
void HttpConnection::finishIfDrained()
{
    if (m_done || m_deferred || !m_out.isEmpty())
        return;
    if (m_closing && !m_write_shut) {
        m_write_shut = true;
        ::shutdown(m_descriptor, SHUT_WR);
    }
    if (m_input_ended && (m_closing || m_in.isEmpty()))
        m_done = true;
}

void HttpConnection::logEvent(const QString &key, const QByteArray &text)
{
    if (const std::optional<qint64> unlogged = m_log.admit(key))
        qCDebug(lcHttp, "%s%s", text.constData(),
                LogThrottle::unloggedNote(*unlogged, {}).constData());
}
