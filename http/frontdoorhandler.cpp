#include "http/frontdoorhandler.h"

#include "http/frontdoorshared.h"
#include "http/httplogging.h"
#include "net/loggedtext.h"
#include "net/logthrottle.h"
#include "net/peeraddress.h"

#include <utility>

using namespace Qt::StringLiterals;

namespace {
QString loggedTarget(const HttpRequest &request)
{
    const QString path = QString::fromUtf8(request.path());
    const QByteArray names = request.queryNames();
    return names.isEmpty() ? path : path + u'?' + QString::fromUtf8(names);
}

// The route a request is counted under, by its path alone.
TesterMetrics::Route countedRoute(const QByteArray &path)
{
    using Route = TesterMetrics::Route;
    switch (FrontDoorRoutes::targetOf(path)) {
    case FrontDoorRoutes::Target::Home:
        return Route::Home;
    case FrontDoorRoutes::Target::Ip:
        return Route::Ip;
    case FrontDoorRoutes::Target::Port:
        return Route::Port;
    case FrontDoorRoutes::Target::Check:
        return Route::Check;
    case FrontDoorRoutes::Target::Other:
        break;
    }
    return Route::Other;
}

TesterMetrics::CheckOutcome countedOutcome(TcpReachCheck::Outcome outcome)
{
    using Counted = TesterMetrics::CheckOutcome;
    switch (outcome) {
    case TcpReachCheck::Outcome::Reachable:
        return Counted::Reachable;
    case TcpReachCheck::Outcome::Refused:
        return Counted::Refused;
    case TcpReachCheck::Outcome::Timeout:
        return Counted::Timeout;
    case TcpReachCheck::Outcome::Unreachable:
        return Counted::Unreachable;
    case TcpReachCheck::Outcome::LocalError:
        break;
    }
    return Counted::LocalError;
}
} // namespace

FrontDoorHandler::FrontDoorHandler(const QHostAddress &peer, FrontDoorShared &shared,
                                   LogThrottle &requestLog)
    : m_shared(shared), m_request_log(requestLog), m_peer{plainAddress(peer),
                                                          plainAddress(peer).toString().toLatin1()},
      m_peer_key(connectionLimitKey(m_peer.address))
{
}

FrontDoorHandler::~FrontDoorHandler() = default;

std::optional<HttpHandler::Answer> FrontDoorHandler::handle(const HttpRequest &request,
                                                            const Reply &later)
{
    m_route = countedRoute(request.path());
    if (m_shared.isPaused()) {
        logRequest(request, m_peer, "503 (paused)");
        return Answer{FrontDoorRoutes::pausedAnswer(), false};
    }
    FrontDoorRoutes::Caller caller = m_peer;
    if (m_shared.callers().isTrusted(m_peer.address)) {
        const auto forwarded =
            m_shared.callers().callerOf(m_peer.address, request.header("x-forwarded-for"));
        if (const auto *address = std::get_if<QHostAddress>(&forwarded)) {
            caller = {*address, address->toString().toLatin1()};
        } else if (std::get<CallerResolver::Refusal>(forwarded) ==
                   CallerResolver::Refusal::BadEntry) {
            logRequest(request, m_peer, "400 (bad X-Forwarded-For)");
            return Answer{HttpResponse::text(400, u"bad X-Forwarded-For\n"_s), false};
        } else {
            // The routes refuse whatever would show or check this null caller.
            caller = {};
        }
    }
    auto routed = m_shared.routes().route(request, caller);
    if (const auto *response = std::get_if<HttpResponse>(&routed)) {
        const bool noClient = caller.address.isNull();
        logRequest(
            request, noClient ? m_peer : caller,
            QByteArray(QByteArray::number(response->status()) +
                       (noClient && response->status() == 400 ? " (no client address)" : "")));
        return Answer{*response, request.keepAlive()};
    }
    const auto check = std::get<FrontDoorRoutes::PortCheck>(routed);
    if (const std::optional<int> retryAfterS = m_shared.takeCheck(caller.address))
        return rateLimited(request, caller, check, *retryAfterS);
    std::unique_ptr<TcpReachCheck, DeleteLater> reach(
        new TcpReachCheck(caller.address, check.port, check.timeoutMs, m_shared.reservation()));
    // Connected before it starts; it never finishes from inside start().
    connect(reach.get(), &TcpReachCheck::finished, this, &FrontDoorHandler::onCheckFinished);
    if (!reach->start()) {
        m_shared.metrics().webChecksTotal(TesterMetrics::CheckOutcome::Busy).inc();
        const HttpResponse busy = m_shared.routes().busyAnswer(request, caller, check);
        logRequest(request, caller, QByteArray::number(busy.status()));
        return Answer{busy, request.keepAlive()};
    }
    m_pending = PendingCheck{request, caller, check, std::move(reach), later};
    return std::nullopt;
}

// The one place a port check is refused for its caller's rate.
HttpHandler::Answer FrontDoorHandler::rateLimited(const HttpRequest &request,
                                                  const FrontDoorRoutes::Caller &caller,
                                                  const FrontDoorRoutes::PortCheck &check,
                                                  int retryAfterS)
{
    logRequest(request, caller, "429 (over its rate of checks)");
    return Answer{FrontDoorRoutes::rateLimitedAnswer(request, caller, check,
                                                     m_shared.checksPerMinute(), retryAfterS),
                  request.keepAlive()};
}

void FrontDoorHandler::onCheckFinished()
{
    if (!m_pending)
        return;
    const PendingCheck pending = std::move(*m_pending);
    m_pending.reset();
    const TcpReachCheck::Outcome outcome = pending.reach->outcome();
    m_shared.metrics().webChecksTotal(countedOutcome(outcome)).inc();
    const bool keepAlive = pending.request.keepAlive();
    if (outcome == TcpReachCheck::Outcome::LocalError) {
        logRequest(pending.request, pending.caller, "503 (no room for the check)");
        pending.reply(
            {HttpResponse::text(503, u"the tester has no room for a check now, try again\n"_s),
             keepAlive});
        return;
    }
    const HttpResponse response = m_shared.routes().checkAnswer(
        pending.request, pending.caller, pending.check, outcome, pending.reach->elapsedMs());
    logRequest(
        pending.request, pending.caller,
        QByteArray(QByteArray::number(response.status()) + ' ' + TcpReachCheck::word(outcome)));
    pending.reply({response, keepAlive});
}

void FrontDoorHandler::refused(const HttpRequest &request, const HttpResponse &answer)
{
    m_route = countedRoute(request.path());
    logRequest(request, m_peer, QByteArray::number(answer.status()));
}

void FrontDoorHandler::abandon()
{
    if (m_pending)
        logRequest(m_pending->request, m_pending->caller, "closed before the answer");
    m_pending.reset();
}

// Every answer ends here, whatever gave it: a 429 is the web door's rate limit.
void FrontDoorHandler::answered(int status, double seconds)
{
    TesterMetrics &metrics = m_shared.metrics();
    metrics.webRequestsTotal(m_route, status).inc();
    metrics.webResponseDurationSeconds(m_route).observe(seconds);
    if (status == 429)
        metrics.rateLimitedTotal(TesterMetrics::Door::Web).inc();
}

void FrontDoorHandler::logRequest(const HttpRequest &request, const FrontDoorRoutes::Caller &caller,
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
