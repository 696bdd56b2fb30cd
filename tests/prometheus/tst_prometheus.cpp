#include "metrics/metricsregistry.h"
#include "metrics/processmetrics.h"
#include "metrics/testermetrics.h"
#include "metrics/textformat.h"

#include "tests/common/prometheus.h"

#include <QHash>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace ControlProtocol;

namespace {
// Serves the registry's scrape to every request, one answer per connection: just enough HTTP
// for a scraper, standing in for the tester's own metrics listener.
class ScrapeServer : public QObject
{
public:
    explicit ScrapeServer(const MetricsRegistry &registry) : m_registry(registry)
    {
        connect(&m_server, &QTcpServer::newConnection, this, &ScrapeServer::onNewConnection);
    }
    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    QByteArray target() const { return "127.0.0.1:" + QByteArray::number(m_server.serverPort()); }
    int scrapes() const { return m_scrapes; }

private:
    void onNewConnection()
    {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { answer(socket); });
        }
    }
    void answer(QTcpSocket *socket)
    {
        QByteArray &request = m_requests[socket];
        request += socket->readAll();
        if (!request.contains("\r\n\r\n"))
            return;
        m_requests.remove(socket);
        const QByteArray body = m_registry.render();
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: " + TextFormat::ContentType.toByteArray() +
                      "\r\nContent-Length: " + QByteArray::number(body.size()) +
                      "\r\nConnection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
        ++m_scrapes;
    }

    const MetricsRegistry &m_registry;
    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_requests;
    int m_scrapes = 0;
};
} // namespace

// A real Prometheus scrapes the figures, reads them back moved, and evaluates the example alert
// rules on them.
class TestPrometheus : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void scrapedByPrometheus()
    {
        if (!vxtest::Prometheus::isInstalled())
            QSKIP("prometheus is not installed (Debian package prometheus)");
        MetricsRegistry registry;
        TesterMetrics metrics(registry, VX_VERSION);
        QVERIFY(metrics.isValid() && ProcessMetrics::registerIn(registry));
        metrics.descriptorBudgetLimit().setSource([] { return 1000.0; });
        metrics.descriptorBudgetUsed().setSource([] { return 950.0; });
        ScrapeServer target(registry);
        QVERIFY(target.listen());

        vxtest::Prometheus prometheus;
        QVERIFY2(prometheus.start(target.target(),
                                  {QStringLiteral(VX_SOURCE_DIR "/docs/vx-alerts.rules.yml")}),
                 prometheus.output().constData());
        // A scrape that parsed: up is 1 only then.
        QVERIFY2(prometheus.waitFor(u"up{job=\"vx-connectivity-tester\"}"_s, 1),
                 prometheus.output().constData());
        QVERIFY(prometheus.waitFor(
            u"vx_tests_total{protocol=\"udp\",direction=\"out\",result=\"timeout\"}"_s, 0));

        // Moved figures come back through Prometheus.
        metrics.testsTotal(Udp, Out, Result::Timeout).inc(3);
        metrics.webRequestsTotal(TesterMetrics::Route::Ip, 200).inc();
        for (const double seconds : {0.0002, 0.0003, 0.2})
            metrics.webResponseDurationSeconds(TesterMetrics::Route::Ip).observe(seconds);
        QVERIFY(prometheus.waitFor(
            u"vx_tests_total{protocol=\"udp\",direction=\"out\",result=\"timeout\"}"_s, 3));
        QVERIFY(prometheus.waitFor(u"sum(vx_web_requests_total{status=\"2xx\"})"_s, 1));
        QVERIFY(prometheus.waitFor(
            u"vx_web_response_duration_seconds_bucket{route=\"ip\",le=\"0.00025\"}"_s, 1));
        QVERIFY(prometheus.waitFor(u"vx_build_info{version=\"" VX_VERSION "\"}"_s, 1));
        const std::optional<double> open = prometheus.value(u"process_open_fds"_s);
        QVERIFY(open && *open > 3);

        // The alert rules load and see the budget over 90 % (pending: it must last 10 min).
        QVERIFY(prometheus.waitFor(
            u"count(ALERTS{alertname=\"VxDescriptorBudgetNearlyUsed\",alertstate=\"pending\"})"_s,
            1));
        QVERIFY(!prometheus.value(u"ALERTS{alertname=\"VxTesterDown\"}"_s));
        QVERIFY(target.scrapes() >= 2);
    }
};

QTEST_GUILESS_MAIN(TestPrometheus)
#include "tst_prometheus.moc"
