#include "http/frontdoorpage.h"

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
    "#result{font-size:1.2rem;padding:.5rem;border-left:4px solid #0b57d0;background:#eef3fc}"
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

QString FrontDoorPage::home(const QString &caller, const QString &host)
{
    return page(u"VX Connectivity Tester"_s, QString(), caller, host, QString());
}

QString FrontDoorPage::checkResult(const QString &caller, const QString &host, quint16 port,
                                   bool reachable, qint64 elapsedMs)
{
    const QString portText = QString::number(port);
    const QString where = u"Port %1 on %2"_s.arg(portText, escaped(caller));
    const QString result =
        reachable
            ? u"%1 is reachable: the tester connected in %2 ms."_s.arg(where,
                                                                       QString::number(elapsedMs))
            : u"%1 is not reachable: the tester could not connect (gave up after %2 ms)."_s.arg(
                  where, QString::number(elapsedMs));
    return page(u"Port %1: %2"_s.arg(portText, reachable ? u"reachable"_s : u"not reachable"_s),
                u"<p id=\"result\" role=\"status\">"_s + result + u"</p>\n"_s, caller, host,
                portText);
}

QString FrontDoorPage::problem(const QString &caller, const QString &host, const QString &message)
{
    // The message is the JSON answer's, which starts in lower case.
    const QString sentence = message.first(1).toUpper() + message.sliced(1) + u'.';
    return page(u"Port check not run"_s,
                u"<p id=\"result\" role=\"alert\">"_s + escaped(sentence) + u"</p>\n"_s, caller,
                host, QString());
}

QString FrontDoorPage::page(const QString &title, const QString &result, const QString &caller,
                            const QString &host, const QString &port)
{
    const QString shownHost = host.isEmpty() ? u"HOST"_s : escaped(host);
    const QString value = port.isEmpty() ? QString() : u" value=\"%1\""_s.arg(escaped(port));
    return u"<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
           "<title>"_s +
           escaped(title) + u"</title>\n<style>"_s + kStyle +
           u"</style>\n</head>\n<body>\n<main>\n<h1>VX Connectivity Tester</h1>\n"_s + result +
           u"<p>Your address is <strong id=\"address\">"_s + escaped(caller) +
           u"</strong>.</p>\n"
           "<form method=\"get\" action=\"/check\">\n"
           "<label for=\"port\">TCP port to check on your address</label>\n"
           "<input id=\"port\" name=\"port\" type=\"number\" min=\"1\" max=\"65535\" "
           "required"_s +
           value +
           u">\n<button type=\"submit\">Check port</button>\n</form>\n"
           "<p>Reachable means the tester could open a TCP connection to that port on your "
           "address: something listens there, and no firewall or NAT on the way dropped "
           "it.</p>\n"
           "<h2>From a terminal</h2>\n<pre>curl "_s +
           shownHost + u"/ip\ncurl "_s + shownHost +
           u"/port/PORT</pre>\n"
           "<p>For UDP ports and for checks in the outbound direction, use "
           "<code>vx-connectivity-check</code>.</p>\n</main>\n</body>\n</html>\n"_s;
}
