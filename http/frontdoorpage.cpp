#include "http/frontdoorpage.h"

#include "net/checkadvice.h"

#include <QCryptographicHash>

using namespace Qt::StringLiterals;

namespace {
const QString kStyle =
    u"body{font-family:system-ui,sans-serif;line-height:1.5;margin:0;color:#111;background:#fff}"
    "main{max-width:40rem;margin:0 auto;padding:1rem}"
    "label{display:block;font-weight:600}"
    "input,button{font:inherit;padding:.3rem .5rem;margin:.3rem .3rem .3rem 0}"
    "button{border:2px solid #0b57d0;background:#0b57d0;color:#fff;border-radius:4px}"
    ":focus-visible{outline:3px solid #b3261e;outline-offset:2px}"
    "#result{font-size:1.2rem;padding:.5rem;border-left:6px solid #0b57d0;background:#eef3fc}"
    ".word{text-transform:uppercase;letter-spacing:.05em;margin-right:.4rem}"
    "#result.reachable{border-color:#137333;background:#e6f4ea}"
    "#result.refused{border-color:#b06000;background:#fef7e0}"
    "#result.timeout,#result.unreachable{border-color:#b3261e;background:#fce8e6}"
    "#result.not-testable-at-tester{border-color:#5f6368;background:#f1f3f4}"
    "#warning{padding:.5rem;border-left:6px solid #b06000;background:#fef7e0}"
    "pre{background:#f3f3f3;padding:.5rem;overflow-x:auto}"_s;

QString escaped(const QString &text)
{
    return text.toHtmlEscaped();
}
} // namespace

QByteArray FrontDoorPage::contentSecurityPolicy()
{
    static const QByteArray policy =
        "default-src 'none'; style-src 'sha256-" +
        QCryptographicHash::hash(kStyle.toUtf8(), QCryptographicHash::Sha256).toBase64() +
        "'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'";
    return policy;
}

QString FrontDoorPage::home(const QString &caller, AddressKind::Kind kind, const QString &host)
{
    return page(u"VX Connectivity Tester"_s, QString(), caller, kind, host, QString());
}

QString FrontDoorPage::checkResult(const QString &caller, AddressKind::Kind kind,
                                   const QString &host, quint16 port,
                                   TcpReachCheck::Outcome outcome, qint64 elapsedMs)
{
    using Outcome = TcpReachCheck::Outcome;
    const QString word = QString::fromLatin1(TcpReachCheck::word(outcome));
    const QString portText = QString::number(port);
    const QString ms = QString::number(elapsedMs);
    const QString where = u"Port %1 on %2"_s.arg(portText, escaped(caller));
    QString result;
    switch (outcome) {
    case Outcome::Reachable:
        result = u"%1 is reachable: the tester connected in %2 ms."_s.arg(where, ms);
        break;
    case Outcome::Refused:
        result = u"%1 refused the connection after %2 ms: the connection arrived, but nothing "
                 "took it there."_s.arg(where, ms);
        break;
    case Outcome::Timeout:
        result = u"%1 did not answer within %2 ms: something on the way dropped the "
                 "connection."_s.arg(where, ms);
        break;
    case Outcome::Unreachable:
        result = u"%1 is unreachable: the network reported after %2 ms that there is no way "
                 "there."_s.arg(where, ms);
        break;
    case Outcome::LocalError:
        result =
            u"%1 was not checked: the tester could not make the check on its side."_s.arg(where);
        break;
    }
    const QString html = u"<p id=\"result\" class=\"%1\" role=\"status\"><strong class=\"word\">%1"
                         "</strong> %2</p>\n"_s.arg(word, result) +
                         advice(port, outcome, kind);
    return page(u"Port %1: %2"_s.arg(portText, word), html, caller, kind, host, portText);
}

// The shared advice for the outcome, in its order: the same as the client's hints.
QString FrontDoorPage::advice(quint16 port, TcpReachCheck::Outcome outcome, AddressKind::Kind kind)
{
    CheckAdvice::Situation situation;
    situation.port = port;
    situation.kind = kind;
    const QStringList steps = CheckAdvice::steps(TcpReachCheck::kind(outcome), situation);
    if (steps.isEmpty())
        return QString();
    QString html = u"<h2>What to check next</h2>\n<ol id=\"advice\">\n"_s;
    for (const QString &step : steps)
        html += u"<li>"_s + escaped(step) + u"</li>\n"_s;
    return html + u"</ol>\n"_s;
}

QString FrontDoorPage::problem(const QString &caller, AddressKind::Kind kind, const QString &host,
                               const QString &message)
{
    // The message is the JSON answer's, which starts in lower case.
    const QString sentence = message.first(1).toUpper() + message.sliced(1) + u'.';
    return page(u"Port check not run"_s,
                u"<p id=\"result\" role=\"alert\">"_s + escaped(sentence) + u"</p>\n"_s, caller,
                kind, host, QString());
}

QString FrontDoorPage::page(const QString &title, const QString &result, const QString &caller,
                            AddressKind::Kind kind, const QString &host, const QString &port)
{
    const QString warning = AddressKind::warning(kind);
    const QString warned = warning.isEmpty()
                               ? QString()
                               : u"<p id=\"warning\" role=\"alert\"><strong>Warning:</strong> "_s +
                                     escaped(warning) + u".</p>\n"_s;
    // No caller: a proxy in front named none, and the page says so instead.
    const QString address = caller.isEmpty()
                                ? QString()
                                : u"<p>Your address is <strong id=\"address\">"_s +
                                      escaped(caller) + u"</strong> (<span id=\"kind\">"_s +
                                      AddressKind::word(kind) + u"</span>).</p>\n"_s + warned;
    const QString shownHost = host.isEmpty() ? u"HOST"_s : escaped(host);
    const QString value = port.isEmpty() ? QString() : u" value=\"%1\""_s.arg(escaped(port));
    return u"<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
           "<title>"_s +
           escaped(title) + u"</title>\n<style>"_s + kStyle +
           u"</style>\n</head>\n<body>\n<main>\n<h1>VX Connectivity Tester</h1>\n"_s + result +
           address +
           u"<p id=\"where\">The tester sees the internet from where it runs. To learn whether "
           "the internet can reach your computer, the tester must run outside your network (a "
           "small server elsewhere), and you open this page on the computer you want to "
           "check.</p>\n"
           "<form method=\"get\" action=\"/check\">\n"
           "<label for=\"port\">TCP port to check on your address</label>\n"
           "<input id=\"port\" name=\"port\" type=\"number\" min=\"1\" max=\"65535\" "
           "required"_s +
           value +
           u">\n<button type=\"submit\">Check port</button>\n</form>\n"
           "<p>The check goes from the tester to you. <strong>reachable</strong>: the tester "
           "opened a TCP connection to that port on your address; <strong>refused</strong>: the "
           "connection arrived, but nothing listens there; <strong>timeout</strong>: nothing "
           "answered, something on the way dropped it; <strong>unreachable</strong>: the "
           "network reported no way there.</p>\n"
           "<h2>From a terminal</h2>\n<pre>curl "_s +
           shownHost + u"/ip\ncurl "_s + shownHost +
           u"/port/PORT</pre>\n"
           "<p>For UDP ports and for checks in the outbound direction, use "
           "<code>vx-connectivity-check</code>.</p>\n</main>\n</body>\n</html>\n"_s;
}
