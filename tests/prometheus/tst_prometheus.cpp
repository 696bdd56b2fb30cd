#include "tests/common/prometheus.h"

#include <QStandardPaths>

using namespace Qt::StringLiterals;
using namespace vxtest;

namespace {
// One request on a connection of its own; the whole answer, read until the server closes.
QByteArray exchange(quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(kPatience))
        return {};
    socket.write(request);
    QByteArray answer;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(kPatience))
        answer += socket.readAll();
    return answer + socket.readAll();
}

QByteArray get(quint16 port, const QByteArray &target, const QByteArray &method = "GET")
{
    return exchange(port, method + ' ' + target +
                              " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
}

QByteArray body(const QByteArray &answer)
{
    return answer.mid(answer.indexOf("\r\n\r\n") + 4);
}
} // namespace

// The real tester with its metrics listener, scraped by a real Prometheus: control tests and
// web requests move the counters Prometheus then reads back; with both doors flooded the
// scrape is still served, and the example alert on the descriptor budget goes pending.
class TestPrometheus : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A metrics port taken by another program fails the start as a taken control port does,
    // before anything is announced.
    void heldMetricsPort()
    {
        if (qEnvironmentVariableIsEmpty("VX_TESTER"))
            QSKIP("VX_TESTER is not set (run under ctest)");
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
        const QByteArray held = QByteArray::number(holder.serverPort());
        Tester tester({u"VX_METRICS_LISTEN=127.0.0.1:"_s + QString::fromLatin1(held)});
        tester.captureOutput();
        QVERIFY(tester.start({u"-e"_s, u"0"_s}));
        QVERIFY(tester.process().waitForFinished(kPatience));
        QCOMPARE(tester.process().exitCode(), 69);
        const QByteArray said = tester.process().readAllStandardError();
        QVERIFY2(said.startsWith(QByteArray("Failed to bind to metrics port " + held + ": ")) &&
                     !said.contains("listening"),
                 said.constData());
    }

    void scrapedByPrometheus()
    {
        if (qEnvironmentVariableIsEmpty("VX_TESTER"))
            QSKIP("VX_TESTER is not set (run under ctest)");
        if (!Prometheus::isInstalled())
            QSKIP("prometheus is not installed (Debian package prometheus)");
        const quint16 webPort = freePort();
        const quint16 metricsPort = freePort();
        Tester tester({u"VX_HTTP_PORT="_s + QString::number(webPort),
                       u"VX_METRICS_LISTEN=127.0.0.1:"_s + QString::number(metricsPort),
                       u"VX_CONTROL_TESTS_PER_MINUTE=2"_s});
        tester.captureOutput();
        // Low enough for a flood to fill the budget, high enough for every door.
        tester.setDescriptorLimit(256);
        QVERIFY(tester.startServing());
        const QByteArray said = tester.process().readAllStandardError();
        const QByteArray announced =
            "metrics listening on port " + QByteArray::number(metricsPort) + '\n';
        QVERIFY2(said.endsWith(announced), said.constData());

        // The listener itself: the scrape for GET and HEAD, 404 elsewhere, two connections
        // per address.
        const QByteArray scrape = get(metricsPort, "/metrics");
        QVERIFY2(scrape.startsWith("HTTP/1.1 200 OK\r\n") &&
                     scrape.contains("\r\nContent-Type: text/plain; version=0.0.4\r\n"),
                 scrape.constData());
        QVERIFY(body(scrape).contains("\nvx_build_info{version=\"" VX_VERSION "\"} 1\n"));
        const QByteArray head = get(metricsPort, "/metrics", "HEAD");
        QVERIFY(head.startsWith("HTTP/1.1 200 OK\r\n") && head.endsWith("\r\n\r\n"));
        QVERIFY(get(metricsPort, "/").startsWith("HTTP/1.1 404 "));
        {
            QTcpSocket held[3];
            for (QTcpSocket &socket : held) {
                socket.connectToHost(QHostAddress::LocalHost, metricsPort);
                QVERIFY(socket.waitForConnected(kPatience));
            }
            QVERIFY(held[2].waitForDisconnected(kPatience));
            QVERIFY(held[1].state() == QAbstractSocket::ConnectedState);
        }
        // promtool checks the format (tst_metrics); here Prometheus itself scrapes it.
        Prometheus prometheus;
        QVERIFY2(prometheus.start("127.0.0.1:" + QByteArray::number(metricsPort),
                                  {QStringLiteral(VX_SOURCE_DIR "/docs/vx-alerts.rules.yml")}),
                 prometheus.output().constData());
        QVERIFY2(prometheus.waitFor(u"up{job=\"vx-connectivity-tester\"}"_s, 1),
                 prometheus.output().constData());

        // Control tests: one that succeeds, one that times out, one over the rate limit.
        QTcpServer target;
        QVERIFY(target.listen(QHostAddress::LocalHost, 0));
        const quint16 out = target.serverPort();
        const quint16 in = freePort();
        Client client(tester.port());
        client.send(withPort("testport out tcp %1 10000\r\n", out));
        QCOMPARE(client.takeLine(), withPort("porttesting out tcp %1\r\n", out));
        QCOMPARE(client.takeLine(), withPort("porttesting out tcp %1 success\r\n", out));
        client.send(withPort("testport in udp %1 200\r\n", in));
        QCOMPARE(client.takeLine(), withPort("porttesting in udp %1\r\n", in));
        QCOMPARE(client.takeLine(), withPort("porttesting in udp %1 timeout\r\n", in));
        client.send(withPort("testport in udp %1 200\r\n", in));
        QVERIFY(client.takeLine().startsWith("ratelimited "));

        // Web requests: three of /ip, one nowhere, one check of a listening port.
        for (int i = 0; i < 3; ++i)
            QVERIFY(get(webPort, "/ip").startsWith("HTTP/1.1 200 "));
        QVERIFY(get(webPort, "/nowhere").startsWith("HTTP/1.1 404 "));
        QVERIFY(get(webPort, withPort("/port/%1?format=text", out)).contains("reachable"));

        const auto series = [](const char *name, const char *labels) -> QString {
            return QString::fromLatin1(name) + u'{' + QString::fromLatin1(labels) + u'}';
        };
        const QList<std::pair<QString, double>> expected = {
            {series("vx_tests_total", R"(protocol="tcp",direction="out",result="success")"), 1},
            {series("vx_tests_total", R"(protocol="udp",direction="in",result="timeout")"), 1},
            {u"sum(vx_tests_total)"_s, 2},
            {series("vx_test_duration_seconds_count", R"(protocol="udp",direction="in")"), 1},
            {series("vx_rate_limited_total", R"(door="control")"), 1},
            {series("vx_web_requests_total", R"(route="ip",status="2xx")"), 3},
            {series("vx_web_requests_total", R"(route="other",status="4xx")"), 1},
            {series("vx_web_requests_total", R"(route="port",status="2xx")"), 1},
            {series("vx_web_response_duration_seconds_count", R"(route="ip")"), 3},
            {series("vx_web_checks_total", R"(outcome="reachable")"), 1},
            // The startup probe, and this one still open.
            {u"vx_control_connections_accepted_total"_s, 2},
            {series("vx_open_connections", R"(door="control")"), 1},
            {u"vx_tests_running + vx_tests_queued + vx_reserved_ports"_s, 0},
            {u"vx_descriptor_budget_limit"_s, 256},
            {u"process_max_fds"_s, 256},
        };
        for (const auto &[query, value] : expected)
            QVERIFY2(prometheus.waitFor(query, value),
                     qPrintable(query + u" is "_s +
                                QString::number(prometheus.value(query).value_or(-1))));
        const std::optional<double> budget =
            prometheus.value(u"vx_descriptor_budget_used / vx_descriptor_budget_limit"_s);
        QVERIFY(budget && *budget > 0 && *budget < 0.5);

        // Both doors flooded: the budget fills, idle control connections make way, and the
        // scrape is still served from the listener's own descriptors. The web door closes
        // connections without a request after 10 s: its flood comes again every 2 s.
        Flood control;
        Flood web;
        QCOMPARE(control.open(tester.port(), 120), 120);
        const auto refill = [&] {
            web.closeAll();
            web.open(webPort, 240);
        };
        QTimer again;
        connect(&again, &QTimer::timeout, refill);
        again.start(2000);
        refill();
        QVERIFY2(prometheus.waitFor(u"count(ALERTS{alertname=\"VxDescriptorBudgetNearlyUsed\","
                                    "alertstate=\"pending\"})"_s,
                                    1),
                 qPrintable(QString::number(
                     prometheus.value(u"vx_descriptor_budget_used"_s).value_or(-1))));
        QVERIFY(prometheus.waitFor(u"vx_idle_evictions_total{door=\"control\"} > bool 0"_s, 1));
        QVERIFY(prometheus.waitFor(u"up{job=\"vx-connectivity-tester\"}"_s, 1));
        QVERIFY(!prometheus.value(u"ALERTS{alertname=\"VxTesterDown\"}"_s));
        QVERIFY(tester.isRunning());
    }
};

QTEST_GUILESS_MAIN(TestPrometheus)
#include "tst_prometheus.moc"
