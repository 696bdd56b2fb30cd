#include "client/portlist.h"
#include "tests/common/testhelpers.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <memory>

using namespace Qt::StringLiterals;
using namespace vxtest;

namespace {

// A whole run of the tool; far above anything a healthy run on loopback takes.
constexpr int kRunLimit = 60000;

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
    if (!process.waitForStarted(kPatience))
        return run;
    run.finished =
        QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, kRunLimit);
    if (!run.finished) {
        process.kill();
        process.waitForFinished(kPatience);
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
        if (m_up->state() == QAbstractSocket::ConnectedState || m_up->waitForConnected(kPatience))
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

// A tester that lies: it answers the tool's first line with a fixed text and then says nothing,
// connects nowhere and sends no ping.
class FakeTester : public QObject
{
public:
    explicit FakeTester(const QByteArray &answer) : m_answer(answer)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *tool = m_server.nextPendingConnection();
            connect(tool, &QTcpSocket::readyRead, this, [this, tool] {
                if (request.isEmpty() && tool->canReadLine()) {
                    request = tool->readLine();
                    tool->write(m_answer);
                }
            });
        });
    }
    QString port() const { return QString::number(m_server.serverPort()); }
    QByteArray request;

private:
    QTcpServer m_server;
    QByteArray m_answer;
};

bool hasControlCharacter(const QString &text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) {
        return c != u'\n' && (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() <= 0x9f));
    });
}

// The start of one result line; a detail may follow.
QString result(const QString &protocol, quint16 port, const QString &direction,
               const QString &outcome)
{
    return u"^%1 +%2 %3 +%4 +\\d+ ms"_s.arg(protocol).arg(port).arg(direction, outcome);
}

QString exactly(const QString &line)
{
    return u"^"_s + QRegularExpression::escape(line) + u"$"_s;
}

// Where the lines differ from the patterns, one a line; empty when they all match.
QString mismatch(const QStringList &lines, const QStringList &patterns)
{
    if (lines.size() != patterns.size())
        return u"%1 lines, not %2:\n"_s.arg(lines.size()).arg(patterns.size()) + lines.join(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (!QRegularExpression(patterns.at(i)).match(lines.at(i)).hasMatch())
            return u"line %1: '%2' does not match '%3'"_s.arg(i).arg(lines.at(i), patterns.at(i));
    }
    return QString();
}

QJsonObject parseJson(const QString &text)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    return error.error == QJsonParseError::NoError ? document.object() : QJsonObject();
}

} // namespace

#define VERIFY_LINES(lines, ...)                                                                   \
    do {                                                                                           \
        const QString why = mismatch(lines, __VA_ARGS__);                                          \
        QVERIFY2(why.isEmpty(), qPrintable(why));                                                  \
    } while (false)

class TestClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void portList_data();
    void portList();
    void publicIp();
    void checks_data();
    void checks();
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
    void lyingAddress_data();
    void lyingAddress();
    void lyingCheck_data();
    void lyingCheck();

private:
    QStringList at(const QStringList &arguments) const
    {
        return QStringList{u"--port"_s, QString::number(m_tester.port())} + arguments;
    }
    TesterProcess m_tester;
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
    for (const char *bad :
         {"", "0", "65536", "99999999999", "80,", "http", "+80", "10-5", "80-", "1-2-3"})
        QTest::addRow("invalid '%s'", bad) << QString::fromLatin1(bad) << false << P{};
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

// Checks that all succeed: one port in one direction, and a list with a range in both.
void TestClient::checks_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QString>("direction"); // empty: the default, both
    QTest::addColumn<bool>("list");
    for (const QString &protocol : {u"tcp"_s, u"udp"_s}) {
        for (const QString &direction : {u"in"_s, u"out"_s})
            QTest::addRow("%s %s", qPrintable(protocol), qPrintable(direction))
                << protocol << direction << false;
        QTest::addRow("%s list and range", qPrintable(protocol)) << protocol << QString() << true;
    }
}

void TestClient::checks()
{
    QFETCH(QString, protocol);
    QFETCH(QString, direction);
    QFETCH(bool, list);
    const bool udp = protocol == u"udp"_s;
    QList<quint16> ports{freePort(udp)};
    QStringList arguments{protocol, QString::number(ports.first())};
    if (list) {
        const quint16 base = freeRange(3, udp);
        QVERIFY(base != 0);
        ports << base << quint16(base + 1) << quint16(base + 2);
        arguments.last() += u",%1-%2"_s.arg(base).arg(base + 2);
    }
    if (!direction.isEmpty())
        arguments << u"--direction"_s << direction;
    const QStringList directions =
        direction.isEmpty() ? QStringList{u"in"_s, u"out"_s} : QStringList{direction};
    // Each port in the order given, "in" before "out".
    QStringList expected;
    for (const quint16 port : std::as_const(ports)) {
        for (const QString &way : directions)
            expected << result(protocol, port, way, u"reachable"_s);
    }
    const qsizetype count = expected.size();
    expected << exactly(count == 1 ? u"1 check: 1 reachable"_s
                                   : u"%1 checks: %1 reachable"_s.arg(count));

    const Run run = runTool(at(arguments));
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    VERIFY_LINES(run.lines(), expected);
    QCOMPARE(run.err, QString());
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
    if (udp)
        QVERIFY(udpHolder.bind(QHostAddress::AnyIPv4, 0, QAbstractSocket::DontShareAddress));
    else
        QVERIFY(tcpHolder.listen(QHostAddress::AnyIPv4, 0));
    const quint16 held = udp ? udpHolder.localPort() : tcpHolder.serverPort();
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
    VERIFY_LINES(run.lines(), {result(protocol, held, u"in"_s, u"unavailable"_s) +
                                   u"  cannot (listen on|bind) port %1 here"_s.arg(held),
                               result(protocol, held, u"out"_s, u"blocked"_s) +
                                   u"  the server could not (listen on|bind) port %1$"_s.arg(held),
                               result(protocol, free, u"in"_s, u"reachable"_s),
                               result(protocol, free, u"out"_s, u"reachable"_s),
                               exactly(u"4 checks: 2 reachable, 1 blocked, 1 unavailable"_s)});
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
    VERIFY_LINES(run.lines(), {result(u"udp"_s, silent, u"out"_s, u"timed out"_s) +
                                   u"  no ping reached the server within 1000 ms$"_s,
                               result(u"udp"_s, open, u"out"_s, u"reachable"_s),
                               exactly(u"2 checks: 1 reachable, 1 timed out"_s)});
}

void TestClient::json()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::AnyIPv4, 0));
    const quint16 held = holder.serverPort();
    const quint16 free = freePort();
    const Run run = runTool(at({u"--json"_s, u"tcp"_s, u"%1,%2"_s.arg(free).arg(held)}));
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 1);
    QJsonObject document = parseJson(run.out);
    QVERIFY2(!document.isEmpty(), qPrintable(run.out));
    const QJsonArray checks = document.take(u"checks"_s).toArray();
    QCOMPARE(document.take(u"summary"_s).toObject(), (QJsonObject{{u"total"_s, 4},
                                                                  {u"reachable"_s, 2},
                                                                  {u"blocked"_s, 1},
                                                                  {u"unavailable"_s, 1},
                                                                  {u"timeout"_s, 0},
                                                                  {u"error"_s, 0}}));
    // Nothing else, and no "error" where the server answered.
    QCOMPARE(document, (QJsonObject{{u"server"_s, u"127.0.0.1:%1"_s.arg(m_tester.port())},
                                    {u"protocol"_s, u"tcp"_s},
                                    {u"timeout"_s, 5000},
                                    {u"success"_s, false}}));
    const QList<std::tuple<quint16, QString, QString>> expected{{free, u"in"_s, u"reachable"_s},
                                                                {free, u"out"_s, u"reachable"_s},
                                                                {held, u"in"_s, u"unavailable"_s},
                                                                {held, u"out"_s, u"blocked"_s}};
    QCOMPARE(checks.size(), expected.size());
    for (int i = 0; i < 4; ++i) {
        QJsonObject check = checks.at(i).toObject();
        const auto &[port, direction, result] = expected.at(i);
        QVERIFY(check.take(u"elapsedMs"_s).isDouble());
        QCOMPARE(check.take(u"detail"_s).toString().isEmpty(), result == u"reachable"_s);
        QCOMPARE(check, (QJsonObject{{u"protocol"_s, u"tcp"_s},
                                     {u"port"_s, int(port)},
                                     {u"direction"_s, direction},
                                     {u"result"_s, result}}));
    }

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
    const QString port = QString::number(freePort());
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
    TesterProcess doomed;
    QVERIFY(doomed.start());
    // Another connection's test holds the port at the service for a long while, so the tool's
    // test waits in the queue there.
    const quint16 port = freePort();
    QTcpSocket other;
    other.connectToHost(QHostAddress::LocalHost, doomed.port());
    QVERIFY(other.waitForConnected(kPatience));
    other.write(u"testport tcp %1 60000\r\n"_s.arg(port).toLatin1());
    QTRY_VERIFY_WITH_TIMEOUT(other.canReadLine(), kPatience);

    QProcess tool;
    tool.start(qEnvironmentVariable("VX_CHECK"),
               {u"--port"_s, QString::number(doomed.port()), u"--timeout"_s, u"60000"_s, u"tcp"_s,
                u"%1,%2"_s.arg(port).arg(freePort()), u"--direction"_s, u"out"_s});
    QVERIFY(tool.waitForStarted(kPatience));
    const QByteArray request = u"--> testport in tcp %1 60000"_s.arg(port).toLatin1();
    QTRY_VERIFY_WITH_TIMEOUT(doomed.log().contains(request), kPatience);
    QCOMPARE(tool.state(), QProcess::Running);

    doomed.stop();
    // Far below the 62 s the check could otherwise wait.
    QTRY_VERIFY_WITH_TIMEOUT(tool.state() == QProcess::NotRunning, kPatience);
    QCOMPARE(tool.exitCode(), 2);
    VERIFY_LINES(
        QString::fromLocal8Bit(tool.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts),
        {result(u"tcp"_s, port, u"out"_s, u"error"_s) + u"  lost the connection to the server$"_s,
         u"error.*not run|not run.*error"_s, exactly(u"2 checks: 0 reachable, 2 error"_s)});
    const QString err = QString::fromLocal8Bit(tool.readAllStandardError());
    QVERIFY2(err.startsWith(u"vx-connectivity-check: lost the connection to 127.0.0.1:%1: "_s.arg(
                 doomed.port())),
             qPrintable(err));
}

void TestClient::serverNotThere()
{
    const quint16 nobody = freePort();
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
    VERIFY_LINES(check.lines(), {result(u"udp"_s, checked, u"out"_s, u"timed out"_s) +
                                     u"  no answer from the server within 2300 ms$"_s,
                                 exactly(u"1 check: 0 reachable, 1 timed out"_s)});
}

void TestClient::lyingAddress_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // with options: a part of what is printed
    QTest::addColumn<QString>("err");
    const QByteArray hostile = "Public IP \x1b]0;owned\x07\x1b[2J\x9b"
                               "31m\x7fnot-an-address; rm -rf ~\r\n";
    const QString escaped = uR"(\x1b]0;owned\x07\x1b[2J\x9b31m\x7fnot-an-address; rm -rf ~)"_s;
    const QString notAnAddress =
        u"vx-connectivity-check: the server's answer is not an IP address: "_s;
    QTest::addRow("escapes") << QStringList() << hostile << 2 << QString()
                             << notAnAddress + escaped + u'\n';
    QTest::addRow("escapes, verbose") << QStringList{u"--verbose"_s} << hostile << 2 << QString()
                                      << u"--> Public IP "_s + escaped;
    QTest::addRow("escapes, json")
        << QStringList{u"--json"_s} << hostile << 2
        << uR"("error": "the server's answer is not an IP address: \\x1b]0;owned\\x07)"_s
        << notAnAddress + escaped + u'\n';
    QTest::addRow("trailing junk") << QStringList() << QByteArray("Public IP 192.0.2.7 x\r\n") << 2
                                   << QString() << notAnAddress + u"192.0.2.7 x\n"_s;
    QTest::addRow("scope") << QStringList() << QByteArray("Public IP fe80::1%\x1b[2J\r\n") << 2
                           << QString() << notAnAddress + uR"(fe80::1%\x1b[2J)"_s + u'\n';
    QTest::addRow("empty") << QStringList() << QByteArray("Public IP \r\n") << 2 << QString()
                           << notAnAddress + u'\n';
    QTest::addRow("ipv4") << QStringList() << QByteArray("Public IP 192.0.2.7\r\n") << 0
                          << u"192.0.2.7\n"_s << QString();
    QTest::addRow("ipv6") << QStringList() << QByteArray("Public IP 2001:db8::7\r\n") << 0
                          << u"2001:db8::7\n"_s << QString();
}

// Only an address is printed as the address, and nothing the server sends reaches the terminal
// as control characters.
void TestClient::lyingAddress()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, answer);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    FakeTester fake(answer);
    const Run run = runTool(QStringList{u"--port"_s, fake.port()} + options + QStringList{u"ip"_s});
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(!hasControlCharacter(run.out + run.err), qPrintable(run.out + run.err));
    if (options.isEmpty()) {
        QCOMPARE(run.out, out);
        QCOMPARE(run.err, err);
    } else {
        QVERIFY2(run.out.contains(out), qPrintable(run.out));
        QVERIFY2(run.err.contains(err), qPrintable(run.err));
    }
}

void TestClient::lyingCheck_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QString>("answer"); // %1: the port
    QTest::addRow("tcp") << u"tcp"_s
                         << u"porttesting out tcp %1\r\nporttesting out tcp %1 success\r\n"_s;
    QTest::addRow("udp") << u"udp"_s
                         << u"porttesting out udp %1\r\nporttesting out udp %1 success\r\n"_s;
    // Read one way, the go line; read with Unicode blanks, a success.
    QTest::addRow("udp, a line read two ways")
        << u"udp"_s
        << u"porttesting\u00a0out\u00a0udp\u00a0%1\u00a0success porttesting out udp %1\r\n"_s;
}

// A server's claim that its connection or pings got through to this machine is no arrival here.
void TestClient::lyingCheck()
{
    QFETCH(QString, protocol);
    QFETCH(QString, answer);
    const quint16 port = freePort(protocol == u"udp"_s);
    FakeTester fake(answer.arg(port).toLatin1());
    const Run run = runTool({u"--port"_s, fake.port(), u"--timeout"_s, u"300"_s, protocol,
                             QString::number(port), u"--direction"_s, u"in"_s});
    QVERIFY(run.finished);
    QCOMPARE(fake.request, u"testport out %1 %2 300\r\n"_s.arg(protocol).arg(port).toLatin1());
    QCOMPARE(run.exitCode, 1);
    VERIFY_LINES(run.lines(), {result(protocol, port, u"in"_s, u"timed out"_s) +
                                   u"  .* arrived here within 2300 ms$"_s,
                               exactly(u"1 check: 0 reachable, 1 timed out"_s)});
}

QTEST_GUILESS_MAIN(TestClient)
#include "tst_client.moc"
