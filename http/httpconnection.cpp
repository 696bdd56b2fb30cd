#include "http/httpconnection.h"

#include "http/callerresolver.h"
#include "http/httplogging.h"
#include "http/httpresponse.h"
#include "http/tcpreachcheck.h"
#include "net/loggedtext.h"
#include "net/peeraddress.h"

#include <QTcpSocket>

#include <sys/socket.h>

#include <memory>
#include <utility>

using namespace Qt::StringLiterals;

namespace {
// Answers a client may leave unread before its further requests wait.
constexpr qint64 kMaxUnsent = 64 * 1024;
// How long a closing connection waits for the client to read the last answer and hang up.
constexpr int kLingerMs = 2000;

// The path and the names of the query's items: values may be huge and say little.
QString loggedTarget(const HttpRequest &request)
{
    QStringList names;
    for (const auto &[name, value] : request.query().queryItems())
        names.append(name);
    return names.isEmpty() ? request.path() : request.path() + u'?' + names.join(u'&');
}
} // namespace

HttpConnection::HttpConnection(QTcpSocket *socket, const CallerResolver &callers,
                               const FrontDoorRoutes &routes, PortReservation &reservation,
                               QObject *parent)
    : QObject(parent), m_socket(socket), m_callers(callers), m_routes(routes),
      m_reservation(reservation), m_peer(plainPeerAddress(*socket))
{
    m_socket->setParent(this);
    // Unread input stays in the kernel, where TCP flow control holds the client back.
    m_socket->setReadBufferSize(MaxHeadBytes);
    m_idle_timer.setSingleShot(true);
    connect(&m_idle_timer, &QTimer::timeout, this, &HttpConnection::onIdleTimeout);
    connect(m_socket, &QTcpSocket::readyRead, this, &HttpConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &HttpConnection::onBytesWritten);
    connect(m_socket, &QTcpSocket::disconnected, this, &HttpConnection::onDisconnected);
    m_idle_timer.start(IdleTimeoutMs);
}

HttpConnection::~HttpConnection()
{
    m_socket->disconnect(this);
}

void HttpConnection::onReadyRead()
{
    if (m_closing) {
        m_socket->skip(m_socket->bytesAvailable());
        return;
    }
    serveBuffered();
}

// Also emitted from inside answer()'s flush: it resumes serving only when serving was held.
void HttpConnection::onBytesWritten()
{
    if (m_closing && m_socket->bytesToWrite() == 0) {
        endWriting();
    } else if (m_write_held && m_socket->bytesToWrite() <= kMaxUnsent / 2) {
        m_write_held = false;
        serveBuffered();
    }
}

void HttpConnection::onIdleTimeout()
{
    if (!m_closing) {
        qCDebug(lcHttp, "HttpConnection: no complete request from %s within %d ms, closing",
                qPrintable(m_peer.toString()), IdleTimeoutMs);
    }
    m_socket->abort();
}

void HttpConnection::onDisconnected()
{
    if (m_waiting)
        logRequest(*m_waiting, m_caller, u"closed before the answer"_s);
    delete std::exchange(m_reach_check, nullptr);
    m_waiting.reset();
    m_idle_timer.stop();
    Q_EMIT closed();
}

// Answers the complete requests that are buffered, one after the other, until one must wait.
void HttpConnection::serveBuffered()
{
    while (!m_closing && !m_waiting && m_socket->state() == QAbstractSocket::ConnectedState) {
        if (m_socket->bytesToWrite() > kMaxUnsent) {
            m_write_held = true;
            return;
        }
        if (!fillBuffer())
            return;
        const qsizetype length = HttpRequest::headLength(m_buffer);
        if (length < 0 || length > MaxHeadBytes) {
            if (m_buffer.size() <= MaxHeadBytes)
                return;
            logRequest(HttpRequest(), m_peer, u"431"_s);
            answer(HttpResponse::text(431, u"request head longer than 8192 bytes\n"_s), false);
            return;
        }
        const HttpRequest request = HttpRequest::parse(QByteArrayView(m_buffer).first(length));
        m_buffer.remove(0, length);
        serve(request);
    }
}

// Tops the buffer up from the socket to one byte over the longest head; false when it holds
// nothing at all.
bool HttpConnection::fillBuffer()
{
    if (m_buffer.size() <= MaxHeadBytes)
        m_buffer += m_socket->read(MaxHeadBytes + 1 - m_buffer.size());
    // Blank lines before a request line are allowed and dropped.
    qsizetype blank = 0;
    while (blank < m_buffer.size() && (m_buffer[blank] == '\r' || m_buffer[blank] == '\n'))
        ++blank;
    m_buffer.remove(0, blank);
    return !m_buffer.isEmpty();
}

void HttpConnection::serve(const HttpRequest &request)
{
    if (request.errorStatus() != 0) {
        logRequest(request, m_peer, QString::number(request.errorStatus()));
        answer(HttpResponse::text(request.errorStatus(), request.errorText() + u'\n'), false);
        return;
    }
    const QHostAddress caller = m_callers.callerOf(m_peer, request.header("x-forwarded-for"));
    auto routed = m_routes.route(request, caller);
    if (const auto *response = std::get_if<HttpResponse>(&routed)) {
        logRequest(request, caller, QString::number(response->status()));
        answer(*response, request.keepAlive());
        return;
    }
    const auto check = std::get<FrontDoorRoutes::PortCheck>(routed);
    auto reachCheck =
        std::make_unique<TcpReachCheck>(caller, check.port, check.timeoutMs, m_reservation, this);
    if (!reachCheck->start()) {
        const HttpResponse busy = m_routes.busyAnswer(request, caller, check);
        logRequest(request, caller, QString::number(busy.status()));
        answer(busy, request.keepAlive());
        return;
    }
    m_reach_check = reachCheck.release();
    connect(m_reach_check, &TcpReachCheck::finished, this, &HttpConnection::onCheckFinished);
    m_waiting = request;
    m_caller = caller;
    m_check = check;
    // The check has its own time limit; the client is not idle meanwhile.
    m_idle_timer.stop();
}

void HttpConnection::onCheckFinished()
{
    if (!m_waiting || !m_reach_check)
        return;
    const HttpRequest request = *std::exchange(m_waiting, std::nullopt);
    const HttpResponse response = m_routes.checkAnswer(
        request, m_caller, m_check, m_reach_check->isReachable(), m_reach_check->elapsedMs());
    // Finished from inside its own socket's signal: deleted once that has returned.
    std::exchange(m_reach_check, nullptr)->deleteLater();
    logRequest(request, m_caller, QString::number(response.status()));
    answer(response, request.keepAlive());
    serveBuffered();
}

void HttpConnection::answer(const HttpResponse &response, bool keepAlive)
{
    // Set before writing: nothing more is served once the last answer is on its way.
    m_closing = !keepAlive;
    m_socket->write(response.toBytes(keepAlive));
    m_socket->flush();
    if (m_closing)
        closeAfterAnswer();
    else
        m_idle_timer.start(IdleTimeoutMs);
}

// Input the client sent after the last answer is read and dropped, and the connection ends only
// when the client hangs up (or after a moment): closing with unread input would reset the
// connection and could destroy the answer before the client has read it.
void HttpConnection::closeAfterAnswer()
{
    m_buffer.clear();
    m_idle_timer.start(kLingerMs);
    m_socket->skip(m_socket->bytesAvailable());
    if (m_socket->bytesToWrite() == 0)
        endWriting();
}

void HttpConnection::endWriting()
{
    if (m_socket->socketDescriptor() >= 0)
        ::shutdown(int(m_socket->socketDescriptor()), SHUT_WR);
}

void HttpConnection::logRequest(const HttpRequest &request, const QHostAddress &caller,
                                const QString &outcome) const
{
    const QString from = caller == m_peer
                             ? caller.toString()
                             : u"%1 (via %2)"_s.arg(caller.toString(), m_peer.toString());
    const QByteArray method = request.method().isEmpty() ? "-" : request.method();
    const QString target = request.path().isEmpty() ? u"-"_s : loggedTarget(request);
    qCDebug(lcHttp, "HTTP %s %s from %s: %s", loggedText(QString::fromLatin1(method)).constData(),
            loggedText(target).constData(), qPrintable(from), qPrintable(outcome));
}
