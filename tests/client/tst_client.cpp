#include "client/portlist.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int kWait = 15000;
// A whole run of the tool; far above anything a healthy run on loopback takes.
constexpr int kRunLimit = 60000;

quint16 freePort(bool udp)
{
    if (udp) {
        QUdpSocket probe;
        probe.bind(QHostAddress::AnyIPv4, 0);
        return probe.localPort();
    }
    QTcpServer probe;
    probe.listen(QHostAddress::AnyIPv4, 0);
    return probe.serverPort();
}

bool portFree(quint16 port, bool udp)
{
    if (udp) {
        QUdpSocket probe;
        return probe.bind(QHostAddress::AnyIPv4, port, QAbstractSocket::DontShareAddress);
    }
    QTcpServer probe;
    return probe.listen(QHostAddress::AnyIPv4, port);
}

// count consecutive ports that are free right now. Taken below the ephemeral range: there,
// outgoing connections of a busy machine hold ports here and there.
quint16 freeRange(int count, bool udp)
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        const auto base = quint16(QRandomGenerator::global()->bounded(10000, 30000));
        bool free = true;
        for (int i = 0; free && i < count; ++i)
            free = portFree(quint16(base + i), udp);
        if (free)
            return base;
    }
    return 0;
}

// The real service in the foreground on a free control port, with its own TMPDIR so that its
// debug log can be read.
class Tester
{
public:
    ~Tester() { stop(); }
    bool start()
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            m_port = freePort(false);
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(u"TMPDIR"_s, m_dir.path());
            m_process.setProcessEnvironment(env);
            m_process.setProcessChannelMode(QProcess::ForwardedChannels);
            m_process.start(qEnvironmentVariable("VX_TESTER"), {u"-e"_s, QString::number(m_port)});
            if (!m_process.waitForStarted(kWait))
                return false;
            const bool serving = QTest::qWaitFor(
                [this] {
                    if (m_process.state() != QProcess::Running)
                        return true;
                    QTcpSocket probe;
                    probe.connectToHost(QHostAddress::LocalHost, m_port);
                    return probe.waitForConnected(500);
                },
                kWait);
            if (serving && m_process.state() == QProcess::Running)
                return true;
            m_process.waitForFinished(kWait);
        }
        return false;
    }
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(kWait);
    }
    quint16 port() const { return m_port; }
    QByteArray log() const
    {
        QFile file(m_dir.filePath(u"service-debuglog.txt"_s));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};

// One run of the real tool. The event loop keeps turning while it runs, for the relay below.
struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
    bool finished = false;

    QStringList lines() const { return out.split(u'\n', Qt::SkipEmptyParts); }
};

Run runTool(const QStringList &arguments)
{
    QProcess process;
    process.start(qEnvironmentVariable("VX_CHECK"), arguments);
    Run run;
    if (!process.waitForStarted(kWait))
        return run;
    run.finished =
        QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, kRunLimit);
    if (!run.finished) {
        process.kill();
        process.waitForFinished(kWait);
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

// Sits between the tool and the service and withholds the service's lines that match a
// pattern. On loopback every connection and ping gets through; holding back the service's go
// line keeps the tool from acting, as a network that drops its traffic would.
class WithholdingRelay : public QObject
{
public:
    WithholdingRelay(quint16 upstreamPort, const QString &withheld)
        : m_upstream_port(upstreamPort), m_withheld(withheld)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, &WithholdingRelay::accept);
    }
    quint16 port() const { return m_server.serverPort(); }
    QStringList withheldLines;

private:
    void accept()
    {
        m_down.reset(m_server.nextPendingConnection());
        m_up = std::make_unique<QTcpSocket>();
        connect(m_up.get(), &QTcpSocket::readyRead, this, &WithholdingRelay::fromService);
        connect(m_down.get(), &QTcpSocket::readyRead, this, &WithholdingRelay::fromTool);
        connect(m_up.get(), &QTcpSocket::disconnected, m_down.get(), &QTcpSocket::close);
        connect(m_down.get(), &QTcpSocket::disconnected, m_up.get(), &QTcpSocket::close);
        m_up->connectToHost(QHostAddress::LocalHost, m_upstream_port);
    }
    void fromTool()
    {
        if (m_up->state() == QAbstractSocket::ConnectedState || m_up->waitForConnected(kWait))
            m_up->write(m_down->readAll());
    }
    void fromService()
    {
        while (m_up->canReadLine()) {
            const QByteArray line = m_up->readLine();
            if (QString::fromLatin1(line).trimmed() == m_withheld)
                withheldLines << m_withheld;
            else
                m_down->write(line);
        }
    }

    QTcpServer m_server;
    std::unique_ptr<QTcpSocket> m_down;
    std::unique_ptr<QTcpSocket> m_up;
    quint16 m_upstream_port;
    QString m_withheld;
};

QString resultLine(const QString &protocol, quint16 port, const QString &direction,
                   const QString &result)
{
    return u"^%1 +%2 %3 +%4 +\\d+ ms"_s.arg(protocol).arg(port).arg(direction, result);
}

QJsonObject parseJson(const QString &text)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    return error.error == QJsonParseError::NoError ? document.object() : QJsonObject();
}

} // namespace

class TestClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void portList_data();
    void portList();
    void publicIp();
    void kinds_data();
    void kinds();
    void listAndRange();
    void portHeldHere_data();
    void portHeldHere();
    void serverTimeout();
    void json();
    void usageErrors_data();
    void usageErrors();
    void help();
    void quietUnlessVerbose();
    void serverGoesAway();
    void serverNotThere();
    void silentServer();

private:
    QStringList at(const QStringList &arguments) const
    {
        return QStringList{u"--port"_s, QString::number(m_tester.port())} + arguments;
    }
    Tester m_tester;
};

void TestClient::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("VX_TESTER") || qEnvironmentVariableIsEmpty("VX_CHECK"))
        QSKIP("VX_TESTER and VX_CHECK are not set (run under ctest)");
    QVERIFY(m_tester.start());
}

void TestClient::portList_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QList<quint16>>("ports");
    using P = QList<quint16>;
    QTest::addRow("one") << u"80"_s << true << P{80};
    QTest::addRow("list") << u"443,80"_s << true << P{443, 80};
    QTest::addRow("range") << u"8000-8003"_s << true << P{8000, 8001, 8002, 8003};
    QTest::addRow("mixed") << u"80,443,8000-8002"_s << true << P{80, 443, 8000, 8001, 8002};
    QTest::addRow("blanks") << u" 80 , 81 - 82 "_s << true << P{80, 81, 82};
    QTest::addRow("once each") << u"81,80-82,80"_s << true << P{81, 80, 82};
    QTest::addRow("one-port range") << u"5-5"_s << true << P{5};
    QTest::addRow("limits") << u"1,65535"_s << true << P{1, 65535};
    QTest::addRow("empty") << u""_s << false << P{};
    QTest::addRow("zero") << u"0"_s << false << P{};
    QTest::addRow("too big") << u"65536"_s << false << P{};
    QTest::addRow("huge") << u"99999999999"_s << false << P{};
    QTest::addRow("trailing comma") << u"80,"_s << false << P{};
    QTest::addRow("word") << u"http"_s << false << P{};
    QTest::addRow("sign") << u"+80"_s << false << P{};
    QTest::addRow("backwards") << u"10-5"_s << false << P{};
    QTest::addRow("open range") << u"80-"_s << false << P{};
    QTest::addRow("double range") << u"1-2-3"_s << false << P{};
}

void TestClient::portList()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QList<quint16>, ports);
    QList<quint16> parsed;
    QString error;
    QCOMPARE(PortList::parse(text, parsed, error), valid);
    if (valid)
        QCOMPARE(parsed, ports);
    else
        QVERIFY(!error.isEmpty());
}

void TestClient::publicIp()
{
    const Run run = runTool(at({u"ip"_s}));
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, u"127.0.0.1\n"_s);
    QCOMPARE(run.err, QString());

    const Run json = runTool(at({u"--json"_s, u"ip"_s}));
    QCOMPARE(json.exitCode, 0);
    const QJsonObject document = parseJson(json.out);
    QCOMPARE(document.value(u"publicIp"_s).toString(), u"127.0.0.1"_s);
    QCOMPARE(document.value(u"server"_s).toString(), u"127.0.0.1:%1"_s.arg(m_tester.port()));
}

void TestClient::kinds_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QString>("direction");
    for (const QString &protocol : {u"tcp"_s, u"udp"_s}) {
        for (const QString &direction : {u"in"_s, u"out"_s})
            QTest::addRow("%s %s", qPrintable(protocol), qPrintable(direction))
                << protocol << direction;
    }
}

void TestClient::kinds()
{
    QFETCH(QString, protocol);
    QFETCH(QString, direction);
    const quint16 port = freePort(protocol == u"udp"_s);
    const Run run = runTool(at({protocol, QString::number(port), u"--direction"_s, direction}));
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    const QStringList lines = run.lines();
    QCOMPARE(lines.size(), 2);
    QVERIFY2(QRegularExpression(resultLine(protocol, port, direction, u"reachable"_s))
                 .match(lines.at(0))
                 .hasMatch(),
             qPrintable(lines.at(0)));
    QCOMPARE(lines.at(1), u"1 check: 1 reachable"_s);
    QCOMPARE(run.err, QString());
}

void TestClient::listAndRange()
{
    for (const bool udp : {false, true}) {
        const QString protocol = udp ? u"udp"_s : u"tcp"_s;
        const quint16 single = freePort(udp);
        const quint16 base = freeRange(3, udp);
        QVERIFY(base != 0);
        const Run run = runTool(at({protocol, u"%1,%2-%3"_s.arg(single).arg(base).arg(base + 2)}));
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 0);
        const QStringList lines = run.lines();
        QCOMPARE(lines.size(), 9);
        // Each port in the order given, "in" before "out".
        const QList<quint16> ports{single, base, quint16(base + 1), quint16(base + 2)};
        for (int i = 0; i < 8; ++i) {
            const QString direction = i % 2 == 0 ? u"in"_s : u"out"_s;
            QVERIFY2(
                QRegularExpression(resultLine(protocol, ports.at(i / 2), direction, u"reachable"_s))
                    .match(lines.at(i))
                    .hasMatch(),
                qPrintable(lines.at(i)));
        }
        QCOMPARE(lines.at(8), u"8 checks: 8 reachable"_s);
    }
}

void TestClient::portHeldHere_data()
{
    QTest::addColumn<bool>("udp");
    QTest::addRow("tcp") << false;
    QTest::addRow("udp") << true;
}

// A port taken on this machine cannot be checked "in" (reported here, nothing asked of the
// server); the service on the same machine cannot take it either, so "out" is blocked there.
void TestClient::portHeldHere()
{
    QFETCH(bool, udp);
    const QString protocol = udp ? u"udp"_s : u"tcp"_s;
    QTcpServer tcpHolder;
    QUdpSocket udpHolder;
    quint16 held = 0;
    if (udp) {
        QVERIFY(udpHolder.bind(QHostAddress::AnyIPv4, 0, QAbstractSocket::DontShareAddress));
        held = udpHolder.localPort();
    } else {
        QVERIFY(tcpHolder.listen(QHostAddress::AnyIPv4, 0));
        held = tcpHolder.serverPort();
    }
    const quint16 free = freePort(udp);
    // A long limit: the service's failed test must be ended by the tool's report, not by its
    // own time limit, for the next check to go on at once.
    const int limit = 30000;
    QElapsedTimer clock;
    clock.start();
    const Run run = runTool(
        at({u"--timeout"_s, QString::number(limit), protocol, u"%1,%2"_s.arg(held).arg(free)}));
    QVERIFY(run.finished);
    QVERIFY2(clock.elapsed() < limit, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(run.exitCode, 1);
    const QStringList lines = run.lines();
    QCOMPARE(lines.size(), 5);
    QVERIFY2(QRegularExpression(resultLine(protocol, held, u"in"_s, u"unavailable"_s) +
                                u"  cannot (listen on|bind) port %1 here"_s.arg(held))
                 .match(lines.at(0))
                 .hasMatch(),
             qPrintable(lines.at(0)));
    QVERIFY2(QRegularExpression(resultLine(protocol, held, u"out"_s, u"blocked"_s) +
                                u"  the server could not (listen on|bind) port %1$"_s.arg(held))
                 .match(lines.at(1))
                 .hasMatch(),
             qPrintable(lines.at(1)));
    QVERIFY(QRegularExpression(resultLine(protocol, free, u"in"_s, u"reachable"_s))
                .match(lines.at(2))
                .hasMatch());
    QVERIFY(QRegularExpression(resultLine(protocol, free, u"out"_s, u"reachable"_s))
                .match(lines.at(3))
                .hasMatch());
    QCOMPARE(lines.at(4), u"4 checks: 2 reachable, 1 blocked, 1 unavailable"_s);
}

void TestClient::serverTimeout()
{
    const quint16 silent = freePort(true);
    const quint16 open = freePort(true);
    WithholdingRelay relay(m_tester.port(), u"porttesting in udp %1"_s.arg(silent));
    // The service waits for pings that never come and gives up after its limit; the next check
    // runs normally after it.
    const Run run =
        runTool({u"--port"_s, QString::number(relay.port()), u"--timeout"_s, u"1000"_s, u"udp"_s,
                 u"%1,%2"_s.arg(silent).arg(open), u"--direction"_s, u"out"_s});
    QVERIFY(run.finished);
    QCOMPARE(relay.withheldLines.size(), 1);
    QCOMPARE(run.exitCode, 1);
    const QStringList lines = run.lines();
    QCOMPARE(lines.size(), 3);
    QVERIFY2(QRegularExpression(resultLine(u"udp"_s, silent, u"out"_s, u"timed out"_s) +
                                u"  no ping reached the server within 1000 ms$"_s)
                 .match(lines.at(0))
                 .hasMatch(),
             qPrintable(lines.at(0)));
    QVERIFY(QRegularExpression(resultLine(u"udp"_s, open, u"out"_s, u"reachable"_s))
                .match(lines.at(1))
                .hasMatch());
    QCOMPARE(lines.at(2), u"2 checks: 1 reachable, 1 timed out"_s);
}

void TestClient::json()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::AnyIPv4, 0));
    const quint16 held = holder.serverPort();
    const quint16 free = freePort(false);
    const Run run = runTool(at({u"--json"_s, u"tcp"_s, u"%1,%2"_s.arg(free).arg(held)}));
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 1);
    const QJsonObject document = parseJson(run.out);
    QVERIFY2(!document.isEmpty(), qPrintable(run.out));
    QCOMPARE(document.value(u"server"_s).toString(), u"127.0.0.1:%1"_s.arg(m_tester.port()));
    QCOMPARE(document.value(u"protocol"_s).toString(), u"tcp"_s);
    QCOMPARE(document.value(u"timeout"_s).toInt(), 5000);
    QCOMPARE(document.value(u"success"_s).toBool(true), false);
    QVERIFY(!document.contains(u"error"_s));

    const QJsonArray checks = document.value(u"checks"_s).toArray();
    QCOMPARE(checks.size(), 4);
    const QList<std::tuple<quint16, QString, QString>> expected{{free, u"in"_s, u"reachable"_s},
                                                                {free, u"out"_s, u"reachable"_s},
                                                                {held, u"in"_s, u"unavailable"_s},
                                                                {held, u"out"_s, u"blocked"_s}};
    for (int i = 0; i < 4; ++i) {
        const QJsonObject check = checks.at(i).toObject();
        const auto &[port, direction, result] = expected.at(i);
        QCOMPARE(check.value(u"protocol"_s).toString(), u"tcp"_s);
        QCOMPARE(check.value(u"port"_s).toInt(), int(port));
        QCOMPARE(check.value(u"direction"_s).toString(), direction);
        QCOMPARE(check.value(u"result"_s).toString(), result);
        QVERIFY(check.value(u"elapsedMs"_s).isDouble());
        QCOMPARE(check.value(u"detail"_s).toString().isEmpty(), result == u"reachable"_s);
    }
    const QJsonObject summary = document.value(u"summary"_s).toObject();
    QCOMPARE(summary.value(u"total"_s).toInt(), 4);
    QCOMPARE(summary.value(u"reachable"_s).toInt(), 2);
    QCOMPARE(summary.value(u"blocked"_s).toInt(), 1);
    QCOMPARE(summary.value(u"unavailable"_s).toInt(), 1);
    QCOMPARE(summary.value(u"timeout"_s).toInt(), 0);
    QCOMPARE(summary.value(u"error"_s).toInt(), 0);

    // All reachable: success and exit code 0.
    const Run good = runTool(at({u"--json"_s, u"udp"_s, QString::number(freePort(true))}));
    QCOMPARE(good.exitCode, 0);
    QCOMPARE(parseJson(good.out).value(u"success"_s).toBool(false), true);
}

void TestClient::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::addRow("nothing") << QStringList{} << u"missing command"_s;
    QTest::addRow("unknown command") << QStringList{u"sctp"_s, u"80"_s} << u"unknown command"_s;
    QTest::addRow("no ports") << QStringList{u"tcp"_s} << u"needs the ports"_s;
    QTest::addRow("bad ports") << QStringList{u"udp"_s, u"80,x"_s} << u"'x' is not a port"_s;
    QTest::addRow("ip with ports") << QStringList{u"ip"_s, u"80"_s} << u"ip takes no"_s;
    QTest::addRow("ip with direction")
        << QStringList{u"ip"_s, u"--direction"_s, u"in"_s} << u"--direction applies"_s;
    QTest::addRow("bad direction")
        << QStringList{u"tcp"_s, u"80"_s, u"--direction"_s, u"up"_s} << u"--direction: 'up'"_s;
    QTest::addRow("bad control port")
        << QStringList{u"--port"_s, u"70000"_s, u"ip"_s} << u"--port: '70000'"_s;
    QTest::addRow("bad timeout") << QStringList{u"--timeout"_s, u"-5"_s, u"ip"_s}
                                 << u"--timeout: '-5'"_s;
    QTest::addRow("unknown option") << QStringList{u"--fast"_s, u"ip"_s} << u"fast"_s;
    QTest::addRow("missing value") << QStringList{u"ip"_s, u"--server"_s} << u"server"_s;
}

void TestClient::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const Run run = runTool(arguments);
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QString());
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QVERIFY(run.err.contains(u"--help"_s));
}

void TestClient::help()
{
    const Run help = runTool({u"--help"_s});
    QCOMPARE(help.exitCode, 0);
    for (const QString &word : {u"--server HOST"_s, u"--port N"_s, u"--timeout MS"_s, u"--json"_s,
                                u"--direction"_s, u"--verbose"_s, u"Exit codes"_s})
        QVERIFY2(help.out.contains(word), qPrintable(word));
}

void TestClient::quietUnlessVerbose()
{
    const QString port = QString::number(freePort(false));
    const Run quiet = runTool(at({u"tcp"_s, port}));
    QCOMPARE(quiet.exitCode, 0);
    QCOMPARE(quiet.err, QString());
    const Run verbose = runTool(at({u"--verbose"_s, u"tcp"_s, port}));
    QCOMPARE(verbose.exitCode, 0);
    QVERIFY(verbose.err.contains(u"PortTest::handleTest() - called!"_s));
    QVERIFY(verbose.err.contains(u"testport out tcp %1"_s.arg(port)));
    // What is printed on stdout does not change.
    QCOMPARE(verbose.lines().size(), quiet.lines().size());
}

// The service dies while a check waits: the check and those after it end as errors at once.
void TestClient::serverGoesAway()
{
    Tester doomed;
    QVERIFY(doomed.start());
    // Another connection's test holds the port at the service for a long while, so the tool's
    // test waits in the queue there.
    const quint16 port = freePort(false);
    QTcpSocket other;
    other.connectToHost(QHostAddress::LocalHost, doomed.port());
    QVERIFY(other.waitForConnected(kWait));
    other.write(u"testport tcp %1 60000\r\n"_s.arg(port).toLatin1());
    QTRY_VERIFY_WITH_TIMEOUT(other.canReadLine(), kWait);

    QProcess tool;
    tool.start(qEnvironmentVariable("VX_CHECK"),
               {u"--port"_s, QString::number(doomed.port()), u"--timeout"_s, u"60000"_s, u"tcp"_s,
                u"%1,%2"_s.arg(port).arg(freePort(false)), u"--direction"_s, u"out"_s});
    QVERIFY(tool.waitForStarted(kWait));
    const QByteArray request = u"--> testport in tcp %1 60000"_s.arg(port).toLatin1();
    QTRY_VERIFY_WITH_TIMEOUT(doomed.log().contains(request), kWait);
    QCOMPARE(tool.state(), QProcess::Running);

    doomed.stop();
    // Far below the 62 s the check could otherwise wait.
    QTRY_VERIFY_WITH_TIMEOUT(tool.state() == QProcess::NotRunning, kWait);
    QCOMPARE(tool.exitCode(), 2);
    const QStringList lines =
        QString::fromLocal8Bit(tool.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QVERIFY2(QRegularExpression(resultLine(u"tcp"_s, port, u"out"_s, u"error"_s) +
                                u"  lost the connection to the server$"_s)
                 .match(lines.at(0))
                 .hasMatch(),
             qPrintable(lines.at(0)));
    QVERIFY2(lines.at(1).contains(u"error"_s) && lines.at(1).contains(u"not run"_s),
             qPrintable(lines.at(1)));
    QCOMPARE(lines.at(2), u"2 checks: 0 reachable, 2 error"_s);
    const QString err = QString::fromLocal8Bit(tool.readAllStandardError());
    QVERIFY2(err.startsWith(u"vx-connectivity-check: lost the connection to 127.0.0.1:%1: "_s.arg(
                 doomed.port())),
             qPrintable(err));
}

void TestClient::serverNotThere()
{
    const quint16 nobody = freePort(false);
    const Run run = runTool({u"--port"_s, QString::number(nobody), u"tcp"_s, u"80"_s});
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QString());
    QCOMPARE(run.err, u"vx-connectivity-check: cannot connect to 127.0.0.1:%1: connection "
                      "refused\n"_s.arg(nobody));

    const Run json = runTool({u"--port"_s, QString::number(nobody), u"--json"_s, u"ip"_s});
    QCOMPARE(json.exitCode, 2);
    QCOMPARE(parseJson(json.out).value(u"error"_s).toString(),
             u"cannot connect to 127.0.0.1:%1: connection refused"_s.arg(nobody));
}

// Something that accepts the connection but never answers: every wait is bounded.
void TestClient::silentServer()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    const QString port = QString::number(silent.serverPort());

    const Run ip = runTool({u"--port"_s, port, u"--timeout"_s, u"300"_s, u"ip"_s});
    QVERIFY(ip.finished);
    QCOMPARE(ip.exitCode, 2);
    QCOMPARE(ip.err, u"vx-connectivity-check: no address from 127.0.0.1:%1: no answer within "
                     "300 ms\n"_s.arg(port));

    const quint16 checked = freePort(true);
    const Run check = runTool({u"--port"_s, port, u"--timeout"_s, u"300"_s, u"udp"_s,
                               QString::number(checked), u"--direction"_s, u"out"_s});
    QVERIFY(check.finished);
    QCOMPARE(check.exitCode, 1);
    const QStringList lines = check.lines();
    QCOMPARE(lines.size(), 2);
    QVERIFY2(QRegularExpression(resultLine(u"udp"_s, checked, u"out"_s, u"timed out"_s) +
                                u"  no answer from the server within 2300 ms$"_s)
                 .match(lines.at(0))
                 .hasMatch(),
             qPrintable(lines.at(0)));
    QCOMPARE(lines.at(1), u"1 check: 0 reachable, 1 timed out"_s);
}

QTEST_GUILESS_MAIN(TestClient)
#include "tst_client.moc"
