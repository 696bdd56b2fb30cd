#include "http/frontdoorroutes.h"

#include "http/frontdoorpage.h"

#include <QRegularExpression>

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

// A decimal number of at most `digits` digits, nothing else; -1 otherwise.
qint64 parseNumber(const QString &text, int digits)
{
    if (text.isEmpty() || text.size() > digits ||
        !std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return -1;
    return text.toLongLong();
}

QByteArray errorJson(const QString &message)
{
    return "{\"error\": " + jsonString(message) + "}\n";
}
} // namespace

FrontDoorRoutes::FrontDoorRoutes(int maxCheckTimeMs) : m_max_check_time_ms(maxCheckTimeMs) {}

std::variant<HttpResponse, FrontDoorRoutes::PortCheck>
FrontDoorRoutes::route(const HttpRequest &request, const QHostAddress &caller) const
{
    if (request.method() != "GET") {
        HttpResponse refusal = HttpResponse::text(405, u"only GET is served\n"_s);
        refusal.addHeader("Allow", "GET");
        return refusal;
    }
    const QString path = request.path();
    if (path == u"/ip")
        return ipAnswer(request, caller);
    if (path.startsWith(u"/port/"))
        return routePortCheck(request, caller, path.sliced(6), false);
    if (path == u"/check")
        return routePortCheck(request, caller, request.query().queryItemValue(u"port"_s), true);
    if (path == u"/")
        return HttpResponse::html(200, FrontDoorPage::home(caller.toString(), shownHost(request)),
                                  FrontDoorPage::contentSecurityPolicy());
    return HttpResponse::text(404, u"not found\n"_s);
}

std::variant<HttpResponse, FrontDoorRoutes::PortCheck>
FrontDoorRoutes::routePortCheck(const HttpRequest &request, const QHostAddress &caller,
                                const QString &portText, bool asPage) const
{
    const qint64 port = parseNumber(portText, 5);
    if (port < 1 || port > 65535)
        return problem(request, caller, asPage, 400, u"port must be a number from 1 to 65535"_s);
    PortCheck check{quint16(port), DefaultCheckTimeMs, asPage};
    if (request.query().hasQueryItem(u"timeout"_s)) {
        const qint64 timeout = parseNumber(request.query().queryItemValue(u"timeout"_s), 9);
        if (timeout < 0)
            return problem(request, caller, asPage, 400,
                           u"timeout must be a number of milliseconds"_s);
        check.timeoutMs = int(timeout);
    }
    check.timeoutMs = std::max(std::min(check.timeoutMs, m_max_check_time_ms), MinCheckTimeMs);
    return check;
}

HttpResponse FrontDoorRoutes::checkAnswer(const HttpRequest &request, const QHostAddress &caller,
                                          const PortCheck &check, bool reachable,
                                          qint64 elapsedMs) const
{
    if (check.asPage) {
        return HttpResponse::html(200,
                                  FrontDoorPage::checkResult(caller.toString(), shownHost(request),
                                                             check.port, reachable, elapsedMs),
                                  FrontDoorPage::contentSecurityPolicy());
    }
    return HttpResponse::json(
        200, "{\"ip\": " + jsonString(caller.toString()) +
                 ", \"port\": " + QByteArray::number(check.port) +
                 ", \"protocol\": \"tcp\", \"reachable\": " + (reachable ? "true" : "false") +
                 ", \"ms\": " + QByteArray::number(elapsedMs) + "}\n");
}

HttpResponse FrontDoorRoutes::busyAnswer(const HttpRequest &request, const QHostAddress &caller,
                                         const PortCheck &check) const
{
    HttpResponse busy =
        problem(request, caller, check.asPage, 503,
                u"port %1 is being tested, try again"_s.arg(QString::number(check.port)));
    busy.addHeader("Retry-After", "1");
    return busy;
}

HttpResponse FrontDoorRoutes::problem(const HttpRequest &request, const QHostAddress &caller,
                                      bool asPage, int status, const QString &message) const
{
    if (asPage) {
        return HttpResponse::html(
            status, FrontDoorPage::problem(caller.toString(), shownHost(request), message),
            FrontDoorPage::contentSecurityPolicy());
    }
    return HttpResponse::json(status, errorJson(message));
}

HttpResponse FrontDoorRoutes::ipAnswer(const HttpRequest &request, const QHostAddress &caller)
{
    const bool json = request.header("accept").contains("application/json") ||
                      request.query().queryItemValue(u"format"_s) == u"json";
    if (json)
        return HttpResponse::json(200, "{\"ip\": " + jsonString(caller.toString()) + "}\n");
    return HttpResponse::text(200, caller.toString() + u'\n');
}

// The Host field only when it is a plain host name or address with an optional port: it is the
// client's own text, shown back to that client only, and escaped on the page all the same.
QString FrontDoorRoutes::shownHost(const HttpRequest &request)
{
    static const QRegularExpression plainHost(
        uR"(^(?:[A-Za-z0-9.-]+|\[[0-9A-Fa-f:.]+\])(?::[0-9]{1,5})?$)"_s);
    const QString host = QString::fromLatin1(request.header("host"));
    return plainHost.match(host).hasMatch() ? host : QString();
}
