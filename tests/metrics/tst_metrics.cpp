#include "metrics/metricsregistry.h"
#include "metrics/processmetrics.h"
#include "metrics/testermetrics.h"
#include "metrics/textformat.h"

#include "tests/common/testhelpers.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

#include <sys/resource.h>

#include <memory>
#include <vector>

using namespace Qt::StringLiterals;
using namespace ControlProtocol;

namespace {
// promtool run on `input`; exit code -1 if it did not run.
vxtest::Run promtool(const QStringList &args, const QByteArray &input = {})
{
    QProcess process;
    process.start(u"promtool"_s, args);
    vxtest::Run result;
    if (!process.waitForStarted(vxtest::kPatience))
        return result;
    process.write(input);
    process.closeWriteChannel();
    if (process.waitForFinished(90000) && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

// The whole scrape the tester will serve, with a few series moved.
QByteArray testerScrape(MetricsRegistry &registry)
{
    TesterMetrics metrics(registry, VX_VERSION);
    if (!ProcessMetrics::registerIn(registry) || !metrics.isValid())
        return {};
    metrics.testsTotal(Tcp, In, Result::Success).inc();
    metrics.testDurationSeconds(Udp, Out).observe(0.3);
    metrics.webResponseDurationSeconds(TesterMetrics::Route::Ip).observe(0.0002);
    metrics.descriptorBudgetUsed().setSource([] { return 40.0; });
    return registry.render();
}

QByteArrayList familyNames(const QByteArray &scrape)
{
    QByteArrayList names;
    for (const QByteArray &line : scrape.split('\n'))
        if (line.startsWith("# TYPE "))
            names.append(line.split(' ').value(2));
    return names;
}
} // namespace

// The registry, its metrics, the text they render as, and the tester's own families.
class TestMetrics : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // HELP and TYPE once per family, label values and help texts escaped, numbers as
    // Prometheus reads them, series without a source left out.
    void textFormat()
    {
        MetricsRegistry registry;
        auto *requests = registry.counter("x_requests_total", "Requests \\ by \"path\"\nsplit.",
                                          {"path", "kind"});
        auto *level = registry.gauge("x_level", "A level.");
        auto *read = registry.callbackGauge("x_read", "Read at scrape.", {"part"});
        QVERIFY(requests && level && read);
        requests->add({"a\\b\"c\nd", "plain"}).inc(2);
        requests->add({"/", "plain"}).inc();
        requests->add({"a\\b\"c\nd", "plain"}).inc(); // the same series again
        level->add().dec(3);
        read->add({"set"}).setSource([] { return 0.1; });
        read->add({"unset"});
        read->add({"infinite"}).setSource([] { return INFINITY; });
        QCOMPARE(registry.render(),
                 QByteArray("# HELP x_requests_total Requests \\\\ by \"path\"\\nsplit.\n"
                            "# TYPE x_requests_total counter\n"
                            "x_requests_total{path=\"a\\\\b\\\"c\\nd\",kind=\"plain\"} 3\n"
                            "x_requests_total{path=\"/\",kind=\"plain\"} 1\n"
                            "# HELP x_level A level.\n"
                            "# TYPE x_level gauge\n"
                            "x_level -3\n"
                            "# HELP x_read Read at scrape.\n"
                            "# TYPE x_read gauge\n"
                            "x_read{part=\"set\"} 0.1\n"
                            "x_read{part=\"infinite\"} +Inf\n"));
        for (const auto &[value, text] : std::initializer_list<std::pair<double, const char *>>{
                 {1e-4, "0.0001"},
                 {1e-5, "1e-05"},
                 {123456.5, "123456.5"},
                 {-0.25, "-0.25"},
                 {1e20, "100000000000000000000"},
                 {1e21, "1e+21"},
                 {0.1 + 0.2, "0.30000000000000004"}})
            QCOMPARE(TextFormat::number(value), QByteArray(text));
        QCOMPARE(TextFormat::number(NAN), QByteArray("NaN"));
        QCOMPARE(TextFormat::number(quint64(18446744073709551615ull)),
                 QByteArray("18446744073709551615"));
    }

    // Buckets are cumulative, a value on a bound counts in that bucket, +Inf takes the rest and
    // equals _count; a NaN is not counted.
    void histogram()
    {
        MetricsRegistry registry;
        const std::array<double, 3> bounds{0.01, 0.5, 2};
        auto *latency = registry.histogram("x_seconds", "Latency.", {"route"}, bounds);
        QVERIFY(latency);
        Histogram &ip = latency->add({"ip"});
        for (const double value : {0.001, 0.01, 0.2, 0.5, 7.0, double(NAN)})
            ip.observe(value);
        latency->add({"other"});
        QCOMPARE(registry.render(), QByteArray("# HELP x_seconds Latency.\n"
                                               "# TYPE x_seconds histogram\n"
                                               "x_seconds_bucket{route=\"ip\",le=\"0.01\"} 2\n"
                                               "x_seconds_bucket{route=\"ip\",le=\"0.5\"} 4\n"
                                               "x_seconds_bucket{route=\"ip\",le=\"2\"} 4\n"
                                               "x_seconds_bucket{route=\"ip\",le=\"+Inf\"} 5\n"
                                               "x_seconds_sum{route=\"ip\"} 7.711\n"
                                               "x_seconds_count{route=\"ip\"} 5\n"
                                               "x_seconds_bucket{route=\"other\",le=\"0.01\"} 0\n"
                                               "x_seconds_bucket{route=\"other\",le=\"0.5\"} 0\n"
                                               "x_seconds_bucket{route=\"other\",le=\"2\"} 0\n"
                                               "x_seconds_bucket{route=\"other\",le=\"+Inf\"} 0\n"
                                               "x_seconds_sum{route=\"other\"} 0\n"
                                               "x_seconds_count{route=\"other\"} 0\n"));
    }

    // One family per name: a name taken (a histogram takes its _bucket, _sum and _count too),
    // malformed or against its type's conventions is refused.
    void oneFamilyPerName()
    {
        MetricsRegistry registry;
        const std::array<double, 2> bounds{1, 2};
        const std::array<double, 2> unordered{2, 1};
        const std::array<double, 2> twice{1, 1};
        QVERIFY(registry.counter("x_total", "X."));
        QVERIFY(registry.histogram("x_seconds", "X.", {}, bounds));
        QVERIFY(!registry.counter("x_total", "Again."));
        QVERIFY(!registry.gauge("x_total", "Again, another type."));
        QVERIFY(!registry.gauge("x_seconds_count", "A histogram's sample name."));
        QVERIFY(!registry.gauge("x_seconds_bucket", "Another."));
        QVERIFY(registry.histogram("x", "Takes x_bucket, x_sum, x_count.", {}, bounds));
        QVERIFY(registry.counter("x_bucket_total", "Not one of them."));
        QVERIFY(!registry.counter("x_requests", "A counter without _total."));
        QVERIFY(!registry.gauge("1x", "A name starting with a digit."));
        QVERIFY(!registry.gauge("x_a", "Reserved label.", {"__name"}));
        QVERIFY(!registry.gauge("x_b", "A label twice.", {"a", "a"}));
        QVERIFY(!registry.histogram("x_c", "le is the buckets'.", {"le"}, bounds));
        QVERIFY(!registry.histogram("x_d", "Unordered.", {}, unordered));
        QVERIFY(!registry.histogram("x_e", "A bound twice.", {}, twice));
        QCOMPARE(familyNames(registry.render()),
                 QByteArrayList({"x_total", "x_seconds", "x", "x_bucket_total"}));

        // The tester's families: every name once, and a second set on the same registry is
        // refused yet still safe to count through.
        MetricsRegistry tester;
        const QByteArray scrape = testerScrape(tester);
        const QByteArrayList names = familyNames(scrape);
        QVERIFY(names.size() > 20);
        QCOMPARE(QSet<QByteArray>(names.begin(), names.end()).size(), names.size());
        const QByteArray docs = vxtest::readFile(QStringLiteral(VX_SOURCE_DIR "/docs/metrics.md"));
        for (const QByteArray &name : names) // each explained in docs/metrics.md
            QVERIFY2(docs.contains(QByteArray("`" + name + "`")), name.constData());
        TesterMetrics again(tester, "2");
        QVERIFY(!again.isValid());
        again.testsTotal(Udp, Out, Result::Timeout).inc();
        QCOMPARE(tester.render().count("vx_build_info{"), 1);
    }

    // The tester's accessors move the series they name; read-at-scrape series appear once they
    // have a source; the process's figures are this process's.
    void testerMetrics()
    {
        MetricsRegistry registry;
        TesterMetrics metrics(registry, "1.2.3");
        QVERIFY(metrics.isValid());
        QVERIFY(ProcessMetrics::registerIn(registry));
        QVERIFY(!ProcessMetrics::registerIn(registry));
        metrics.testsTotal(Udp, Out, Result::Timeout).inc();
        metrics.testsTotal(Tcp, In, Result::Failure).inc(2);
        metrics.webRequestsTotal(TesterMetrics::Route::Ip, 204).inc();
        metrics.webRequestsTotal(TesterMetrics::Route::Other, 404).inc();
        metrics.webRequestsTotal(TesterMetrics::Route::Port, 503).inc();
        metrics.controlConnectionsRefusedTotal(TesterMetrics::Refusal::PerAddress).inc();
        metrics.webChecksTotal(TesterMetrics::CheckOutcome::LocalError).inc();
        metrics.openConnections(TesterMetrics::Door::Web).inc();
        metrics.testDurationSeconds(Tcp, Out).observe(0.07);
        QByteArray scrape = registry.render();
        for (const char *line :
             {"vx_build_info{version=\"1.2.3\"} 1\n",
              "vx_tests_total{protocol=\"udp\",direction=\"out\",result=\"timeout\"} 1\n",
              "vx_tests_total{protocol=\"tcp\",direction=\"in\",result=\"failure\"} 2\n",
              "vx_tests_total{protocol=\"tcp\",direction=\"in\",result=\"success\"} 0\n",
              "vx_web_requests_total{route=\"ip\",status=\"2xx\"} 1\n",
              "vx_web_requests_total{route=\"other\",status=\"4xx\"} 1\n",
              "vx_web_requests_total{route=\"port\",status=\"5xx\"} 1\n",
              "vx_control_connections_refused_total{reason=\"per_address_limit\"} 1\n",
              "vx_web_checks_total{outcome=\"local_error\"} 1\n",
              "vx_open_connections{door=\"web\"} 1\n", "vx_open_connections{door=\"control\"} 0\n",
              "vx_test_duration_seconds_bucket{protocol=\"tcp\",direction=\"out\",le=\"0.05\"} 0\n",
              "vx_test_duration_seconds_bucket{protocol=\"tcp\",direction=\"out\",le=\"0.1\"} 1\n"})
            QVERIFY2(scrape.contains(line), line);
        QVERIFY(!scrape.contains("\nvx_reserved_ports "));
        metrics.reservedPorts().setSource([] { return 3.0; });
        QVERIFY(registry.render().contains("\nvx_reserved_ports 3\n"));
        metrics.reservedPorts().clearSource();
        QVERIFY(!registry.render().contains("\nvx_reserved_ports "));

        // Read from /proc/self: the values of this process, within generous bounds.
        scrape = registry.render();
        const auto sample = [&scrape](const char *name) {
            const QRegularExpression line(u"\n%1 (\\S+)\n"_s.arg(QLatin1StringView(name)));
            const QRegularExpressionMatch match = line.match(QString::fromLatin1(scrape));
            return match.hasMatch() ? match.captured(1).toDouble() : -1.0;
        };
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        QCOMPARE(sample("process_max_fds"), double(limit.rlim_cur));
        const double open = sample("process_open_fds");
        QVERIFY2(open >= 3 && open < double(limit.rlim_cur), scrape.constData());
        const double now = double(QDateTime::currentSecsSinceEpoch());
        const double start = sample("process_start_time_seconds");
        QVERIFY2(start > now - 600 && start <= now + 1, QByteArray::number(start).constData());
        QVERIFY(sample("process_resident_memory_bytes") > 1024 * 1024);
        QVERIFY(sample("process_virtual_memory_bytes") >= sample("process_resident_memory_bytes"));
        QVERIFY(sample("process_cpu_seconds_total") >= 0);
        QCOMPARE(ProcessMetrics::statFields("42 (a) b (c)) S 1 2").value(0), QByteArray("S"));
    }

    // Threads counting at once lose nothing.
    void countingAcrossThreads()
    {
        MetricsRegistry registry;
        Counter &counter = registry.counter("x_total", "X.")->add();
        const std::array<double, 1> bounds{0.5};
        Histogram &histogram = registry.histogram("x_seconds", "X.", {}, bounds)->add();
        constexpr int Threads = 6;
        constexpr int PerThread = 200000;
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 0; t < Threads; ++t) {
            threads.emplace_back(QThread::create([&counter, &histogram, t] {
                for (int i = 0; i < PerThread; ++i) {
                    counter.inc();
                    histogram.observe(t % 2 == 0 ? 0.25 : 1.0);
                }
            }));
            threads.back()->start();
        }
        for (const auto &thread : threads)
            QVERIFY(thread->wait(90000));
        QCOMPARE(counter.value(), quint64(Threads) * PerThread);
        const Histogram::Snapshot snapshot = histogram.snapshot();
        QCOMPARE(snapshot.count, quint64(Threads) * PerThread);
        QCOMPARE(snapshot.cumulative.value(0), quint64(Threads / 2) * PerThread);
        QCOMPARE(snapshot.sum, (Threads / 2) * PerThread * 1.25);
    }

    // Prometheus's own checker takes the whole scrape without a complaint, and does complain
    // about a broken one (so its silence means something). The example alert rules load, and
    // fire when they should: promtool replays series through them (vx-alerts.test.yml here).
    void promtoolChecks()
    {
        if (QStandardPaths::findExecutable(u"promtool"_s).isEmpty())
            QSKIP("promtool is not installed (Debian package prometheus)");
        MetricsRegistry registry;
        const QByteArray scrape = testerScrape(registry);
        const vxtest::Run good = promtool({u"check"_s, u"metrics"_s}, scrape);
        QVERIFY2(good.exitCode == 0 && good.out.isEmpty() && good.err.isEmpty(),
                 QByteArray(good.out + good.err + "\n" + scrape).constData());
        const vxtest::Run broken =
            promtool({u"check"_s, u"metrics"_s}, "# TYPE x_total counter\nx_total{a=\"b} 1\n");
        QVERIFY2(broken.exitCode > 0, QByteArray(broken.out + broken.err).constData());
        const QString rules = QStringLiteral(VX_SOURCE_DIR "/docs/vx-alerts.rules.yml");
        const vxtest::Run check = promtool({u"check"_s, u"rules"_s, rules});
        QVERIFY2(check.exitCode == 0, QByteArray(check.out + check.err).constData());
        QVERIFY2(check.out.contains("SUCCESS: 2 rules found"), check.out.constData());
        const vxtest::Run replay =
            promtool({u"test"_s, u"rules"_s,
                      QStringLiteral(VX_SOURCE_DIR "/tests/metrics/vx-alerts.test.yml")});
        QVERIFY2(replay.exitCode == 0, QByteArray(replay.out + replay.err).constData());
    }
};

QTEST_GUILESS_MAIN(TestMetrics)
#include "tst_metrics.moc"
