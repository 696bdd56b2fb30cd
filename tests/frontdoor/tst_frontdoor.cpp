#include "../common/testhelpers.h"

#include "http/callerresolver.h"
#include "http/frontdoorhandler.h"
#include "http/frontdoorpage.h"
#include "http/frontdoorshared.h"
#include "http/httpparser.h"
#include "metrics/metricsregistry.h"
#include "net/descriptorbudget.h"
#include "net/logthrottle.h"
#include "net/portreservation.h"

using namespace vxtest;

namespace {
HttpRequest parsed(const QByteArray &head)
{
    HttpParser parser;
    parser.feed(head);
    return parser.takeRequest();
}

HttpRequest getting(const QByteArray &target, const QByteArray &fields = {})
{
    return parsed("GET " + target + " HTTP/1.1\r\nHost: a\r\n" + fields + "\r\n");
}

QByteArray wire(const HttpHandler::Answer &answer)
{
    return answer.response.toBytes(answer.keepAlive);
}
} // namespace

// The front door's policy in-process, without sockets to its clients: the answers on the wire,
// the routes, the page, and the handler that pauses, believes trusted proxies and runs checks.
class tst_FrontDoor : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // An answer's bytes: the status line, the fields every answer carries, its length, and
    // no body for HEAD; wireSize() is never short.
    void response()
    {
        HttpResponse answer = HttpResponse::text(404, u"not found\n"_s);
        answer.addHeader("Retry-After", "3");
        QByteArray out = "x";
        answer.appendTo(out, false, false);
        QCOMPARE(out, QByteArray("xHTTP/1.1 404 Not Found\r\nContent-Type: text/plain; "
                                 "charset=utf-8\r\nContent-Length: 10\r\nCache-Control: no-store"
                                 "\r\nX-Content-Type-Options: nosniff\r\nContent-Security-Policy: "
                                 "default-src 'none'; frame-ancestors 'none'; base-uri 'none'\r\n"
                                 "Retry-After: 3\r\nConnection: close\r\n\r\n"));
        for (const bool keepAlive : {false, true})
            QVERIFY(answer.wireSize(keepAlive) >= answer.toBytes(keepAlive).size());
    }

    // A documentation address is of the special kind; the home page names the caller; the check
    // a target asks for has its time capped. The other routes are checked over the wire.
    void routes()
    {
        const FrontDoorRoutes routes(FrontDoorRoutes::MaxCheckTimeMs);
        const FrontDoorRoutes::Caller caller{QHostAddress(u"192.0.2.7"_s), "192.0.2.7"};
        const auto answer = [&](const QByteArray &target, const QByteArray &fields = {}) {
            const auto routed = routes.route(getting(target, fields), caller);
            return std::get<HttpResponse>(routed);
        };
        const QByteArray json = answer("/ip?format=json").body();
        QVERIFY(json.contains("\"ip\": \"192.0.2.7\"") && json.contains("\"kind\": \"special\""));
        QVERIFY(answer("/").body().contains("192.0.2.7"));
        const auto check = std::get<FrontDoorRoutes::PortCheck>(
            routes.route(getting("/port/8080?timeout=999999&format=text"), caller));
        QCOMPARE(check.port, quint16(8080));
        QCOMPARE(check.timeoutMs, FrontDoorRoutes::MaxCheckTimeMs);
        QCOMPARE(check.form, FrontDoorRoutes::PortCheck::Form::Text);
    }

    // The page escapes what it shows and says what to check next when a port is not reached.
    void page()
    {
        const QString home = FrontDoorPage::home(u"<b>&"_s, AddressKind::Public, u"h\"x"_s);
        QVERIFY(home.contains(u"&lt;b&gt;&amp;"_s) && !home.contains(u"<b>&"_s));
        QVERIFY(!home.contains(u"h\"x"_s));
        const QString refused = FrontDoorPage::checkResult(u"192.0.2.7"_s, AddressKind::Special, {},
                                                           22, TcpReachCheck::Outcome::Refused, 3);
        QVERIFY(refused.contains(u"refused"_s) && refused.contains(u"firewall"_s));
    }

    // The handler: paused, every request is 503 and the connection closes; a trusted proxy's
    // X-Forwarded-For that is no address ends the connection; one naming no client (none, empty,
    // only proxies) is no client address, in each form; a check's answer comes later, from the
    // event loop, and a check of a port held elsewhere is answered busy.
    void handler()
    {
        PortReservation reservation;
        DescriptorBudget budget;
        LogThrottle log;
        MetricsRegistry registry;
        TesterMetrics metrics(registry, "test");
        FrontDoorShared shared(CallerResolver({QHostAddress(u"127.0.0.1"_s)}),
                               FrontDoorRoutes::MaxCheckTimeMs, 0, 3, reservation, budget, metrics);
        const auto noReply = [](const HttpHandler::Answer &) { QFAIL("answered later"); };
        const auto proxied = shared.createHandler(QHostAddress(u"127.0.0.1"_s), log);
        const auto direct = shared.createHandler(QHostAddress(u"127.0.0.2"_s), log);

        shared.setPaused(true);
        std::optional<HttpHandler::Answer> answer = direct->handle(getting("/ip"), noReply);
        QVERIFY(answer && answer->response.status() == 503 && !answer->keepAlive);
        QVERIFY(wire(*answer).contains("\r\nRetry-After: 30\r\n"));
        shared.setPaused(false);
        answer = proxied->handle(getting("/ip", "X-Forwarded-For: nobody\r\n"), noReply);
        QVERIFY(answer->response.status() == 400 && !answer->keepAlive);

        for (const auto &[target, fields, said] :
             {std::tuple{"/ip", "", "no client address\n"},
              {"/port/1", "X-Forwarded-For: \r\n", "\"error\": \"no client address\""},
              {"/check?port=1", "X-Forwarded-For: 127.0.0.1, 127.0.0.1\r\n",
               "No client address."}}) {
            answer = proxied->handle(getting(target, fields), noReply);
            QVERIFY2(answer && answer->response.status() == 400 &&
                         answer->response.body().contains(said),
                     answer->response.body().constData());
        }

        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress(u"127.0.0.2"_s), 0));
        const QByteArray target =
            "/port/" + QByteArray::number(listener.serverPort()) + "?format=text";
        std::optional<HttpHandler::Answer> late;
        QVERIFY(!direct->handle(getting(target), [&](const HttpHandler::Answer &a) { late = a; }));
        QVERIFY(!late);
        QTRY_VERIFY_WITH_TIMEOUT(late.has_value(), kPatience);
        QVERIFY2(late->response.body().contains("reachable"), late->response.body().constData());

        QVERIFY(reservation.reserve(listener.serverPort()));
        answer = direct->handle(getting(target), noReply);
        QVERIFY(answer && answer->response.status() != 200);
        reservation.release(listener.serverPort());
        using Outcome = TesterMetrics::CheckOutcome;
        QCOMPARE(metrics.webChecksTotal(Outcome::Reachable).value(), 1u);
        QCOMPARE(metrics.webChecksTotal(Outcome::Busy).value(), 1u);

        // Abandoned, a check never answers.
        QVERIFY(!direct->handle(getting(target), noReply));
        direct->abandon();
        QTest::qWait(200);

        // 3 checks a minute per caller here: the fourth is 429 in each form, with when to try
        // again, before it runs; a bad port takes none. Behind the proxy the caller counts, not
        // the proxy, and another address is not held back.
        const QByteArray port = QByteArray::number(listener.serverPort());
        const QByteArray forwarded3 = "X-Forwarded-For: 127.0.0.3\r\n";
        QCOMPARE(proxied->handle(getting("/port/0", forwarded3), noReply)->response.status(), 400);
        for (int i = 0; i < 3; ++i) {
            // Each on a port of its own: an abandoned check holds its port until deleted.
            QVERIFY(!proxied->handle(getting("/port/" + QByteArray::number(i + 1), forwarded3),
                                     noReply));
            proxied->abandon();
        }
        for (const auto &[asked, said] :
             {std::pair<QByteArray, const char *>{"/port/" + port + "?format=text",
                                                  "try again in %1 s\n"},
              {"/port/" + port, "try again in %1 s\", \"retryAfterSeconds\": %1}"},
              {"/check?port=" + port, "Too many port checks from your address (at most 3 a "
                                      "minute), try again in %1 s."}}) {
            answer = proxied->handle(getting(asked, forwarded3), noReply);
            QVERIFY(answer && answer->response.status() == 429 && answer->keepAlive);
            const QRegularExpression retry(u"\r\nRetry-After: (\\d+)\r\n"_s);
            const QString wait = retry.match(QString::fromLatin1(wire(*answer))).captured(1);
            QVERIFY2(wait.toInt() >= 1 && wait.toInt() <= 20, wire(*answer).constData());
            QVERIFY2(answer->response.body().contains(QString::fromUtf8(said).arg(wait).toUtf8()),
                     answer->response.body().constData());
        }
        QVERIFY(!proxied->handle(getting("/port/4", "X-Forwarded-For: 127.0.0.4\r\n"), noReply));
        proxied->abandon();
        // Abandoned checks go with deleteLater and release their ports then: before the
        // reservation above goes.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
};

QTEST_GUILESS_MAIN(tst_FrontDoor)
#include "tst_frontdoor.moc"
