#include "http/frontdoorroutes.h"

#include "http/frontdoorpage.h"
#include "net/addresskind.h"
#include "net/checkadvice.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {
// JSON string literal of text that is ours or an address: quotes, backslashes and control
// characters escaped.
QByteArray jsonString(const QString &text)
{
    QByteArray quoted = "\"";
    for (const QChar c : text) {
        if (c == u'"' || c == u'\\')
            quoted += '\\' + QByteArray(1, char(c.unicode()));
        else if (c.unicode() < 0x20)
            quoted += "\\u" + QByteArray::number(c.unicode(), 16).rightJustified(4, '0');
        else
            quoted += QString(c).toUtf8();
    }
    return quoted + '"';
}

// A decimal number of at most `digits` digits without leading zeros ("0" itself aside), nothing
// else; -1 otherwise. One rule for every number in a target: "/port/080" is no port.
qint64 parseNumber(QByteArrayView text, int digits)
{
    if (text.isEmpty() || text.size() > digits || (text.size() > 1 && text[0] == '0') ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    return text.toLongLong();
}

// The version of the JSON answers (docs/json.md); it changes when a key changes meaning or goes.
constexpr const char *jsonVersion = "1";

QByteArray errorJson(const QString &message, int retryAfterS)
{
    const QByteArray retry = retryAfterS > 0
                                 ? ", \"retryAfterSeconds\": " + QByteArray::number(retryAfterS)
                                 : QByteArray();
    return QByteArray("{\"version\": ") + jsonVersion + ", \"error\": " + jsonString(message) +
           retry + "}\n";
}

bool wantsJson(const HttpRequest &request)
{
    return request.queryItem("format") == "json" ||
           request.header("accept").contains("application/json");
}

// "version", "ip", "kind" and "warning": how every JSON answer about the caller starts.
QByteArray callerJson(const QHostAddress &address, const QByteArray &text)
{
    const AddressKind::Kind kind = AddressKind::of(address);
    return QByteArray("{\"version\": ") + jsonVersion +
           ", \"ip\": " + jsonString(QString::fromLatin1(text)) +
           ", \"kind\": " + jsonString(AddressKind::word(kind)) +
           ", \"warning\": " + jsonString(AddressKind::warning(kind));
}

QByteArray jsonArray(const QStringList &items)
{
    QByteArray array = "[";
    for (const QString &item : items)
        array += (array.size() > 1 ? ", " : "") + jsonString(item);
    return array + ']';
}
} // namespace

FrontDoorRoutes::FrontDoorRoutes(int maxCheckTimeMs)
    : m_max_check_time_ms(std::min(maxCheckTimeMs, MaxCheckTimeMs))
{
}

FrontDoorRoutes::Target FrontDoorRoutes::targetOf(const QByteArray &path)
{
    if (path == "/ip")
        return Target::Ip;
    if (path.startsWith("/port/"))
        return Target::Port;
    if (path == "/check")
        return Target::Check;
    return path == "/" ? Target::Home : Target::Other;
}

std::variant<HttpResponse, FrontDoorRoutes::PortCheck>
FrontDoorRoutes::route(const HttpRequest &request, const Caller &caller) const
{
    if (request.method() != "GET" && request.method() != "HEAD") {
        HttpResponse refusal = HttpResponse::text(405, u"only GET and HEAD are served\n"_s);
        refusal.addHeader("Allow", "GET, HEAD");
        return refusal;
    }
    const QByteArray path = request.path();
    const Target target = targetOf(path);
    const bool text = request.queryItem("format") == "text";
    const PortCheck::Form form =
        target == Target::Ip ? (wantsJson(request) ? PortCheck::Form::Json : PortCheck::Form::Text)
        : target == Target::Port ? (text ? PortCheck::Form::Text : PortCheck::Form::Json)
                                 : PortCheck::Form::Page;
    if (target != Target::Other && caller.address.isNull())
        return problem(request, caller, form, 400, u"no client address"_s);
    switch (target) {
    case Target::Ip:
        return ipAnswer(request, caller);
    case Target::Port:
        return routePortCheck(request, caller, path.sliced(6), form);
    case Target::Check:
        return routePortCheck(request, caller, request.queryItem("port"), form);
    case Target::Home:
        return HttpResponse::html(200,
                                  FrontDoorPage::home(QString::fromLatin1(caller.text),
                                                      AddressKind::of(caller.address),
                                                      shownHost(request)),
                                  FrontDoorPage::contentSecurityPolicy());
    case Target::Other:
        break;
    }
    return HttpResponse::text(
        404, u"not found: / is the page, /ip your address, /port/N a check of TCP port N\n"_s);
}

std::variant<HttpResponse, FrontDoorRoutes::PortCheck>
FrontDoorRoutes::routePortCheck(const HttpRequest &request, const Caller &caller,
                                const QByteArray &portText, PortCheck::Form form) const
{
    const qint64 port = parseNumber(portText, 5);
    if (port < 1 || port > 65535)
        return problem(request, caller, form, 400,
                       u"port must be a number from 1 to 65535, without leading zeros"_s);
    PortCheck check{quint16(port), DefaultCheckTimeMs, form};
    if (request.hasQueryItem("timeout")) {
        const qint64 timeout = parseNumber(request.queryItem("timeout"), 9);
        if (timeout < 0)
            return problem(request, caller, form, 400,
                           u"timeout must be a number of milliseconds"_s);
        check.timeoutMs = int(timeout);
    }
    check.timeoutMs = std::max(std::min(check.timeoutMs, m_max_check_time_ms), MinCheckTimeMs);
    return check;
}

HttpResponse FrontDoorRoutes::checkAnswer(const HttpRequest &request, const Caller &caller,
                                          const PortCheck &check, TcpReachCheck::Outcome outcome,
                                          qint64 elapsedMs) const
{
    const bool reachable = outcome == TcpReachCheck::Outcome::Reachable;
    const QByteArray word = TcpReachCheck::word(outcome);
    const AddressKind::Kind kind = AddressKind::of(caller.address);
    const QByteArray ms = QByteArray::number(elapsedMs);
    const QByteArray port = QByteArray::number(check.port);
    switch (check.form) {
    case PortCheck::Form::Page:
        return HttpResponse::html(200,
                                  FrontDoorPage::checkResult(QString::fromLatin1(caller.text),
                                                             AddressKind::of(caller.address),
                                                             shownHost(request), check.port,
                                                             outcome, elapsedMs),
                                  FrontDoorPage::contentSecurityPolicy());
    case PortCheck::Form::Text: {
        const QString warning = AddressKind::warning(kind);
        return HttpResponse::text(
            200, QString::fromLatin1("tcp " + port + " on " + caller.text +
                                     " (tester to you): " + word + " (" + ms + " ms)\n") +
                     (warning.isEmpty() ? QString() : u"warning: "_s + warning + u'\n'));
    }
    case PortCheck::Form::Json:
        break;
    }
    CheckAdvice::Situation situation;
    situation.port = check.port;
    situation.kind = kind;
    // "reason" stays beside "result" for the scripts written before it.
    return HttpResponse::json(
        200, callerJson(caller.address, caller.text) + ", \"port\": " + port +
                 ", \"protocol\": \"tcp\", \"direction\": \"in\", \"way\": \"tester to you\""
                 ", \"result\": \"" +
                 word + "\", \"reachable\": " + (reachable ? "true" : "false") +
                 (reachable ? QByteArray() : QByteArray(", \"reason\": \"" + word + '"')) +
                 ", \"ms\": " + ms + ", \"advice\": " +
                 jsonArray(CheckAdvice::steps(TcpReachCheck::kind(outcome), situation)) + "}\n");
}

HttpResponse FrontDoorRoutes::busyAnswer(const HttpRequest &request, const Caller &caller,
                                         const PortCheck &check) const
{
    return problem(request, caller, check.form, 503,
                   u"port %1 is being tested, try again"_s.arg(QString::number(check.port)), 1);
}

HttpResponse FrontDoorRoutes::rateLimitedAnswer(const HttpRequest &request, const Caller &caller,
                                                const PortCheck &check, int perMinute,
                                                int retryAfterS)
{
    return problem(request, caller, check.form, 429,
                   u"too many port checks from your address (at most %1 a minute), try again in "
                   "%2 s"_s.arg(QString::number(perMinute), QString::number(retryAfterS)),
                   retryAfterS);
}

HttpResponse FrontDoorRoutes::pausedAnswer()
{
    HttpResponse paused = HttpResponse::text(503, u"the tester is paused, try again later\n"_s);
    paused.addHeader("Retry-After", QByteArray::number(PausedRetryAfterS));
    return paused;
}

HttpResponse FrontDoorRoutes::problem(const HttpRequest &request, const Caller &caller,
                                      PortCheck::Form form, int status, const QString &message,
                                      int retryAfterS)
{
    HttpResponse answer =
        form == PortCheck::Form::Page
            ? HttpResponse::html(status,
                                 FrontDoorPage::problem(QString::fromLatin1(caller.text),
                                                        AddressKind::of(caller.address),
                                                        shownHost(request), message),
                                 FrontDoorPage::contentSecurityPolicy())
        : form == PortCheck::Form::Text
            ? HttpResponse::text(status, message + u'\n')
            : HttpResponse::json(status, errorJson(message, retryAfterS));
    if (retryAfterS > 0)
        answer.addHeader("Retry-After", QByteArray::number(retryAfterS));
    return answer;
}

HttpResponse FrontDoorRoutes::ipAnswer(const HttpRequest &request, const Caller &caller)
{
    if (wantsJson(request))
        return HttpResponse::json(200, callerJson(caller.address, caller.text) + "}\n");
    return HttpResponse(200, "text/plain; charset=utf-8", caller.text + '\n');
}

// The Host field when it is a plain host name or address with an optional port (the parser
// has checked its form): it is the client's own text, shown back to that client only, and
// escaped on the page all the same.
QString FrontDoorRoutes::shownHost(const HttpRequest &request)
{
    const QByteArray host = request.header("host");
    const bool plain = std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               QByteArrayView(".-:[]").contains(c);
    });
    return plain ? QString::fromLatin1(host) : QString();
}
