#include "client/portlist.h"
#include "tests/common/jsonschema.h"
#include "tests/common/testhelpers.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>

#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace vxtest;

namespace {

// count consecutive ports free for TCP and UDP right now. Taken below the ephemeral range:
// there, outgoing connections of a busy machine hold ports here and there.
quint16 freeRange(int count)
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        const auto base = quint16(QRandomGenerator::global()->bounded(10000, 30000));
        bool free = true;
        for (int i = 0; free && i < count; ++i) {
            QTcpServer tcp;
            QUdpSocket udp;
            free = tcp.listen(QHostAddress::AnyIPv4, quint16(base + i)) &&
                   udp.bind(QHostAddress::AnyIPv4, quint16(base + i), QUdpSocket::DontShareAddress);
        }
        if (free)
            return base;
    }
    return 0;
}

// One run of the real tool; the event loop turns meanwhile, for the servers below. Its standard
// output goes to /dev/full ("full"), into a pipe nobody reads any more ("gone"), or is read.
Run tool(const QStringList &arguments, const QString &output = {})
{
    if (output.isEmpty())
        return run(qEnvironmentVariable("VX_CHECK"), arguments);
    int gone[2] = {-1, -1};
    QProcess process;
    if (output == u"full"_s) {
        process.setStandardOutputFile(u"/dev/full"_s);
    } else if (::pipe2(gone, O_CLOEXEC) == 0) {
        ::close(gone[0]);
        process.setChildProcessModifier([fd = gone[1]] { ::dup2(fd, STDOUT_FILENO); });
    }
    process.start(qEnvironmentVariable("VX_CHECK"), arguments);
    const bool ended =
        process.waitForStarted(kPatience) &&
        QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, kPatience);
    if (gone[1] >= 0)
        ::close(gone[1]);
    return {ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            {},
            process.readAllStandardError()};
}

QString text(const QByteArray &bytes)
{
    return QString::fromLocal8Bit(bytes);
}

// Stands in the tester's place. Given an answer, it lies: it answers the tool's first line with
// it, then says nothing, connects nowhere and sends no ping. Given the tester's port, it relays
// but withholds the tester's line `withheld`: on loopback every connection and ping gets
// through, so holding back a go line keeps the tool from acting, as a lossy network would.
class StandIn : public QObject
{
public:
    explicit StandIn(const QByteArray &answer, quint16 tester = 0, const QByteArray &withheld = {})
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [=, this] {
            QTcpSocket *tool = m_server.nextPendingConnection();
            auto *up = new QTcpSocket(tool);
            if (tester != 0) {
                up->connectToHost(QHostAddress::LocalHost, tester);
                up->waitForConnected(kPatience);
            }
            connect(tool, &QTcpSocket::readyRead, this, [=, this] {
                if (tester != 0) {
                    up->write(tool->readAll());
                    return;
                }
                // Checks begin by asking for the address, which a liar about a check answers
                // truly.
                while (tool->canReadLine()) {
                    const QByteArray line = tool->readLine();
                    if (line.startsWith("getpublicip") && !answer.startsWith("Public IP")) {
                        tool->write("Public IP 127.0.0.1\r\n");
                    } else if (request.isEmpty()) {
                        request = line;
                        tool->write(answer);
                    }
                }
            });
            connect(up, &QTcpSocket::readyRead, this, [=, this] {
                while (up->canReadLine()) {
                    const QByteArray line = up->readLine();
                    withheldLines += line.trimmed() == withheld;
                    tool->write(line.trimmed() == withheld ? QByteArray() : line);
                }
            });
        });
    }
    QString port() const { return QString::number(m_server.serverPort()); }
    QByteArray request;
    int withheldLines = 0;

private:
    QTcpServer m_server;
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
    return u"^%1 +%2 %3 +\\((?:tester to here|here to tester)\\) %4 +\\d+ ms"_s.arg(protocol)
        .arg(port)
        .arg(direction, outcome);
}

// The whole text, exactly, but for the placeholders %1, %2 ... filled in later.
QString literal(const QString &text)
{
    return QRegularExpression::anchoredPattern(
        QRegularExpression::escape(text).replace(u"\\%"_s, u"%"_s));
}

QString exactly(const QString &line)
{
    return u"^"_s + QRegularExpression::escape(line) + u"$"_s;
}

// Whether the output is these lines, each with a match of its pattern.
bool linesMatch(const QByteArray &out, const QStringList &patterns)
{
    QString whole = u"\\A"_s;
    for (const QString &pattern : patterns)
        whole += u"[^\\n]*?(?:"_s + pattern + u")[^\\n]*\n"_s;
    // After the summary: the address the tester sees and, not being public, the warning.
    whole += u"(?:the tester sees this machine as [^\\n]*\n(?:warning: [^\\n]*\n)?)?"_s;
    return QRegularExpression(whole + u"\\z"_s, QRegularExpression::MultilineOption)
        .match(text(out))
        .hasMatch();
}

} // namespace

#define VERIFY_LINES(out, ...) QVERIFY2(linesMatch(out, __VA_ARGS__), QByteArray(out).constData())

class TestClient : public QObject
{
    Q_OBJECT

private:
    QStringList at(const QStringList &arguments) const
    {
        return QStringList{u"--port"_s, QString::number(m_tester.port())} + arguments;
    }
    Tester m_tester;

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("VX_TESTER") || qEnvironmentVariableIsEmpty("VX_CHECK"))
            QSKIP("VX_TESTER and VX_CHECK are not set (run under ctest)");
        QVERIFY(m_tester.startServing());
    }

    void portList_data()
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

    void portList()
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

    // Checks that all succeed: one port in one direction, a list with a range in both, and a group
    // of each protocol in one call, over IPv4 and (where the tester serves it) IPv6.
    void checks_data()
    {
        QTest::addColumn<QString>("protocols"); // a group each
        QTest::addColumn<QString>("direction"); // empty: the default, both
        QTest::addColumn<bool>("list");
        QTest::addColumn<QStringList>("options");
        for (const QString &protocol : {u"tcp"_s, u"udp"_s}) {
            for (const QString &direction : {u"in"_s, u"out"_s})
                QTest::addRow("%s %s", qPrintable(protocol), qPrintable(direction))
                    << protocol << direction << false << QStringList();
            QTest::addRow("%s list and range", qPrintable(protocol))
                << protocol << QString() << true << QStringList();
        }
        QTest::addRow("two groups, verbose")
            << u"tcp udp"_s << QString() << false << QStringList{u"--verbose"_s};
        QTest::addRow("two groups over ::1")
            << u"tcp udp"_s << QString() << false << QStringList{u"--server"_s, u"[::1]"_s};
    }

    void checks()
    {
        QFETCH(QString, protocols);
        QFETCH(QString, direction);
        QFETCH(bool, list);
        QFETCH(QStringList, options);
        if (options.contains(u"[::1]"_s)) {
            Client probe;
            if (!hasIpv6Loopback() ||
                !probe.connectTo(m_tester.port(), QHostAddress::LocalHostIPv6))
                QSKIP("::1 is not available here, or the tester does not serve IPv6");
            const Run ip = tool(at(options + QStringList{u"ip"_s}));
            QCOMPARE(ip.exitCode, 0);
            QCOMPARE(ip.out, QByteArray("::1\n"));
        }
        QStringList arguments = options;
        // Each group in the order given, each port in it in the order given, "in" before "out";
        // the lines on the wire that ask for each port's "in" check and answer its "out" check.
        QStringList expected;
        QStringList wire;
        for (const QString &protocol : protocols.split(u' ')) {
            QList<quint16> ports{freePort()};
            arguments << protocol << QString::number(ports.first());
            wire << u"> testport out %1 %2 5000\n"_s.arg(protocol).arg(ports.first())
                 << u"< porttesting in %1 %2\n"_s.arg(protocol).arg(ports.first());
            if (list) {
                const quint16 base = freeRange(3);
                QVERIFY(base != 0);
                ports << base << quint16(base + 1) << quint16(base + 2);
                arguments.last() += u",%1-%2"_s.arg(base).arg(base + 2);
            }
            for (const quint16 port : std::as_const(ports)) {
                for (const QString &way :
                     direction.isEmpty() ? QStringList{u"in"_s, u"out"_s} : QStringList{direction})
                    expected << result(protocol, port, way, u"reachable"_s);
            }
        }
        if (!direction.isEmpty())
            arguments << u"--direction"_s << direction;
        const qsizetype count = expected.size();
        expected << exactly(count == 1 ? u"1 check: 1 reachable"_s
                                       : u"%1 checks: %1 reachable"_s.arg(count));
        const Run run = tool(at(arguments));
        QCOMPARE(run.exitCode, 0);
        VERIFY_LINES(run.out, expected);
        if (!options.contains(u"--verbose"_s)) {
            QCOMPARE(run.err, QByteArray());
            return;
        }
        // The lines on the wire and the tool's own diagnostics, none of the port test's trace.
        QVERIFY2(
            QRegularExpression(u"\\A(?:[<>#] [^\\n]*\n)+\\z"_s).match(text(run.err)).hasMatch() &&
                !run.err.contains("PortTest"),
            run.err.constData());
        for (const QString &line : std::as_const(wire))
            QVERIFY2(text(run.err).contains(line), qPrintable(line));
    }

    void portHeldHere_data()
    {
        QTest::addColumn<QString>("holder"); // "tcp ADDRESS" listens, "udp ADDRESS" is bound here
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QStringList>("lines"); // %1 the held port, %2 a free one; # the ms
        const QString served =
            u"the server connected; the port is served here by another program"_s;
        const QString free = u"tcp %2 in (tester to here) reachable # ms"_s;
        const QString elsewhere =
            u"tcp %1 in (tester to here) timeout # ms the server could not connect within 500 "
            "ms; check: Does the program on TCP port %1 listen on all addresses (0.0.0.0 or ::)? "
            "Here it listens on %3 only, not on %4 where the tester's connection arrives."_s;
        const QString seen = u"the tester sees this machine as %5 (loopback)\nwarning: the tester "
                             "runs on this machine: these results say nothing about the internet"_s;
        QTest::addRow("tcp") << u"tcp 127.0.0.1"_s << QStringList{u"--timeout"_s, u"30000"_s}
                             << QStringList{
                                    u"tcp %1 in (tester to here) reachable # ms "_s + served,
                                    u"tcp %1 out (here to tester) not-testable-at-tester # ms the "
                                    "server could not listen on port %1; check: Which program "
                                    "uses TCP port %1 at the tester?"_s,
                                    free,
                                    u"tcp %2 out (here to tester) reachable # ms"_s,
                                    u"4 checks: 3 reachable, 1 not-testable-at-tester"_s,
                                    seen};
        QTest::addRow("udp") << u"udp 0.0.0.0"_s << QStringList{u"--timeout"_s, u"30000"_s}
                             << QStringList{
                                    u"udp %1 in (tester to here) not-testable-here # ms udp port "
                                    "%1 is in use here by another program: the server's pings "
                                    "would go to it, so whether they arrive cannot be observed; "
                                    "check: Which program uses UDP port %1 here? ss -lunp shows "
                                    "it."_s,
                                    u"udp %1 out (here to tester) not-testable-at-tester # ms the "
                                    "server could not bind port %1; check: Which program uses UDP "
                                    "port %1 at the tester?"_s,
                                    u"udp %2 in (tester to here) reachable # ms"_s,
                                    u"udp %2 out (here to tester) reachable # ms"_s,
                                    u"4 checks: 2 reachable, 1 not-testable-here, 1 "
                                    "not-testable-at-tester"_s,
                                    seen};
        // The server comes from 127.0.0.1 (or ::1): a listener elsewhere only never gets it.
        const QStringList in{u"--timeout"_s, u"500"_s, u"--direction"_s, u"in"_s};
        QTest::addRow("tcp, another address only")
            << u"tcp 127.0.0.2"_s << in
            << QStringList{QString(elsewhere)
                               .replace(u"%3"_s, u"127.0.0.2"_s)
                               .replace(u"%4"_s, u"127.0.0.1"_s),
                           free, u"2 checks: 1 reachable, 1 timeout"_s, seen};
        QTest::addRow("tcp, 127.0.0.1 only, over ::1")
            << u"tcp 127.0.0.1"_s << QStringList{u"--server"_s, u"::1"_s} + in
            << QStringList{
                   QString(elsewhere).replace(u"%3"_s, u"127.0.0.1"_s).replace(u"%4"_s, u"::1"_s),
                   free, u"2 checks: 1 reachable, 1 timeout"_s, seen};
        QTest::addRow("tcp, json")
            << u"tcp 127.0.0.1"_s << QStringList{u"--json"_s, u"--timeout"_s, u"30000"_s}
            << QStringList();
    }

    // A port a program holds here: a TCP "in" check runs anyway on the server's word, and says
    // so; a UDP one cannot see the pings, and says that. The service on the same machine cannot
    // take the port either, so "out" is unavailable there. None of it is what a firewall does,
    // so none is "blocked", unless the program listens where the server cannot reach it.
    void portHeldHere()
    {
        QFETCH(QString, holder);
        QFETCH(QStringList, options);
        QFETCH(QStringList, lines);
        if (options.contains(u"::1"_s) && !hasIpv6Loopback())
            QSKIP("::1 is not available here");
        QTcpServer tcpHolder;
        QUdpSocket udpHolder;
        const QHostAddress address(holder.section(u' ', 1));
        const bool udp = holder.startsWith(u"udp"_s);
        QVERIFY(udp ? udpHolder.bind(address, 0, QAbstractSocket::DontShareAddress)
                    : tcpHolder.listen(address, 0));
        const quint16 held = udp ? udpHolder.localPort() : tcpHolder.serverPort();
        const quint16 free = freePort();
        QElapsedTimer clock;
        clock.start();
        const Run run = tool(
            at(options + QStringList{holder.section(u' ', 0, 0), u"%1,%2"_s.arg(held).arg(free)}));
        // A failed test at the service is ended by the tool's report, not by its time limit.
        QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(run.exitCode, 1);
        if (!lines.isEmpty()) {
            // Blanks collapsed, the times as #.
            const QString shown =
                text(run.out)
                    .replace(QRegularExpression(u"(?m)^(.*?) +\\d+ ms"_s), u"\\1 # ms"_s)
                    .replace(QRegularExpression(u" +"_s), u" "_s);
            QCOMPARE(shown, lines.join(u'\n').arg(held).arg(free).replace(
                                u"%5"_s, options.contains(u"::1"_s) ? u"::1"_s : u"127.0.0.1"_s) +
                                u'\n');
            return;
        }
        QJsonObject document = QJsonDocument::fromJson(run.out).object();
        const QJsonArray checks = document.take(u"checks"_s).toArray();
        QCOMPARE(document.take(u"summary"_s).toObject(),
                 (QJsonObject{{u"total"_s, 4},
                              {u"reachable"_s, 3},
                              {u"refused"_s, 0},
                              {u"timeout"_s, 0},
                              {u"unreachable"_s, 0},
                              {u"not-testable-here"_s, 0},
                              {u"not-testable-at-tester"_s, 1},
                              {u"tester-silent"_s, 0},
                              {u"rate-limited"_s, 0},
                              {u"tester-lost"_s, 0}}));
        // The address the tester sees, its kind and what that means.
        QCOMPARE(document.take(u"version"_s).toInt(), 1);
        QCOMPARE(document.take(u"publicIp"_s).toString(), u"127.0.0.1"_s);
        QCOMPARE(document.take(u"kind"_s).toString(), u"loopback"_s);
        QVERIFY(document.take(u"warning"_s).toString().startsWith(u"the tester runs on this"_s));
        QCOMPARE(document.take(u"nat"_s).toBool(true), false);
        // Nothing else, and no "error" where the server answered.
        QCOMPARE(document, (QJsonObject{{u"server"_s, u"127.0.0.1:%1"_s.arg(m_tester.port())},
                                        {u"protocol"_s, u"tcp"_s},
                                        {u"timeout"_s, 30000},
                                        {u"success"_s, false}}));
        // Whose word each reachable result rests on.
        const QJsonValue evidence[]{u"server"_s, QJsonValue::Null, u"here"_s, u"here"_s};
        QCOMPARE(checks.size(), 4);
        for (int i = 0; i < 4; ++i) {
            QJsonObject check = checks.at(i).toObject();
            QVERIFY(check.take(u"elapsedMs"_s).isDouble());
            QCOMPARE(check.take(u"detail"_s).toString().isEmpty(), i >= 2);
            QCOMPARE(check.take(u"hint"_s).toString().contains(u"Which program uses"_s), i == 1);
            QCOMPARE(check.take(u"way"_s).toString(),
                     i % 2 ? u"here to tester"_s : u"tester to here"_s);
            QCOMPARE(check, (QJsonObject{{u"protocol"_s, u"tcp"_s},
                                         {u"port"_s, int(i < 2 ? held : free)},
                                         {u"direction"_s, i % 2 ? u"out"_s : u"in"_s},
                                         {u"result"_s,
                                          i == 1 ? u"not-testable-at-tester"_s : u"reachable"_s},
                                         {u"evidence"_s, evidence[i]}}));
        }
    }

    void serverTimeout()
    {
        const quint16 silent = freePort();
        const quint16 open = freePort();
        StandIn relay({}, m_tester.port(), withPort("porttesting in udp %1", silent));
        // The service waits for pings that never come and gives up after its limit, as behind a
        // firewall; the next check runs normally after it.
        const Run run = tool({u"--port"_s, relay.port(), u"--timeout"_s, u"1000"_s, u"udp"_s,
                              u"%1,%2"_s.arg(silent).arg(open), u"--direction"_s, u"out"_s});
        QCOMPARE(relay.withheldLines, 1);
        QCOMPARE(run.exitCode, 1);
        VERIFY_LINES(run.out,
                     {result(u"udp"_s, silent, u"out"_s, u"timeout"_s) +
                          u"  no ping reached the server within 1000 ms; check: Does the firewall "
                          "here let outgoing connections to UDP port %1 out\\? Does the tester's "
                          "firewall let incoming connections to UDP port %1 in\\?$"_s.arg(silent),
                      result(u"udp"_s, open, u"out"_s, u"reachable"_s),
                      exactly(u"2 checks: 1 reachable, 1 timeout"_s)});
    }

    // The service dies while a check waits, after it answered one: the check and those after it
    // end as errors at once.
    void serverGoesAway()
    {
        Tester doomed;
        QVERIFY(doomed.startServing());
        // Another connection's test holds the port at the service for a long while, so the tool's
        // second test waits in the queue there.
        const quint16 port = freePort();
        const quint16 first = freePort();
        Client other(doomed.port());
        other.send(withPort("testport tcp %1 60000\r\n", port));
        QVERIFY(!other.takeLine().isEmpty());

        QProcess check;
        check.start(qEnvironmentVariable("VX_CHECK"),
                    {u"--port"_s, QString::number(doomed.port()), u"--timeout"_s, u"60000"_s,
                     u"tcp"_s, u"%1,%2,%3"_s.arg(first).arg(port).arg(freePort()), u"--direction"_s,
                     u"out"_s});
        QVERIFY(check.waitForStarted(kPatience));
        QVERIFY(doomed.waitForLog(withPort("--> testport in tcp %1 60000", port)));
        QCOMPARE(check.state(), QProcess::Running);

        doomed.stop();
        // Far below the 62 s the check could otherwise wait.
        QTRY_VERIFY_WITH_TIMEOUT(check.state() == QProcess::NotRunning, kPatience);
        const Run run{check.exitCode(), check.readAllStandardOutput(),
                      check.readAllStandardError()};
        QCOMPARE(run.exitCode, 2);
        VERIFY_LINES(run.out, {result(u"tcp"_s, first, u"out"_s, u"reachable"_s),
                               result(u"tcp"_s, port, u"out"_s, u"tester-lost"_s) +
                                   u"  lost the connection to the server; check: "_s,
                               u"tester-lost.*not run|not run.*tester-lost"_s,
                               exactly(u"3 checks: 1 reachable, 2 tester-lost"_s)});
        QVERIFY2(run.err.startsWith(withPort("vx-connectivity-check: lost the connection to "
                                             "127.0.0.1:%1: ",
                                             doomed.port())),
                 run.err.constData());
    }

    // One run each, with what it prints on stderr and its exit code: usage errors, the help and
    // version, a server given as host:port, output that cannot be written, and servers that are
    // no tester (nobody at the control port, silent, closing at once, speaking something else),
    // where every wait is bounded and no check is tried after the first. In the texts %1 is the
    // control port, %2 and %3 ports checked.
    void commandLines_data()
    {
        QTest::addColumn<QString>("server"); // "tester", "silent", "closing", "banner",
                                             // "unframed"; else nobody at %1
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("output"); // stdout: "full" (/dev/full), "gone" (a pipe
                                             // without reader); else read
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out"); // a pattern
        QTest::addColumn<QString>("err"); // a pattern of all of it; mostly exact text
        const QString none = u"\\A\\z"_s;
        const auto usage = [&](const char *name, const QStringList &arguments,
                               const QString &message) {
            QTest::addRow("usage: %s", name)
                << QString() << arguments << QString() << 2 << none
                << literal(u"vx-connectivity-check: "_s + message +
                           u"\nTry 'vx-connectivity-check --help'.\n"_s);
        };
        usage("nothing", {}, u"missing command: ip, tcp or udp"_s);
        usage("unknown command", {u"sctp"_s, u"80"_s},
              u"unknown command 'sctp': use ip, tcp or udp"_s);
        usage("no ports", {u"tcp"_s}, u"tcp needs the ports to check, e.g. 80,443,8000-8010"_s);
        usage("bad ports", {u"udp"_s, u"80,x"_s}, u"'x' is not a port number (1 to 65535)"_s);
        usage("ip with ports", {u"ip"_s, u"80"_s}, u"ip takes no further arguments"_s);
        usage("ip with direction", {u"ip"_s, u"--direction"_s, u"in"_s},
              u"--direction applies to tcp and udp checks only"_s);
        usage("bad direction", {u"tcp"_s, u"80"_s, u"--direction=up"_s},
              u"--direction: 'up' is not in, out or both"_s);
        usage("bad control port", {u"--port"_s, u"70000"_s, u"ip"_s},
              u"--port: '70000' is not a port number (1 to 65535)"_s);
        usage("bad timeout", {u"--timeout"_s, u"-5"_s, u"ip"_s},
              u"--timeout: '-5' is not a time in milliseconds (1 to 3600000)"_s);
        usage("unknown option", {u"--bogus"_s, u"ip"_s}, u"unknown option '--bogus'"_s);
        usage("flag with a value", {u"--json=yes"_s, u"ip"_s}, u"option '--json' takes no value"_s);
        usage("missing value", {u"ip"_s, u"--server"_s}, u"option '--server' needs a value"_s);
        usage("second group without ports", {u"tcp"_s, u"80"_s, u"udp"_s},
              u"udp needs the ports to check, e.g. 80,443,8000-8010"_s);
        usage("-4 and an IPv6 address", {u"-4"_s, u"--server"_s, u"[::1]"_s, u"ip"_s},
              u"--server: ::1 is an IPv6 address, but -4 asks for IPv4"_s);
        usage("server port not a number", {u"--server"_s, u"127.0.0.1:x"_s, u"ip"_s},
              u"--server: 'x' is not a port number (1 to 65535)"_s);
        usage("two control ports",
              {u"--server"_s, u"localhost:42001"_s, u"--port=42002"_s, u"ip"_s},
              u"--server names port 42001, but --port 42002"_s);
        usage("colons but no IPv6 address", {u"--server"_s, u"a:b:c"_s, u"ip"_s},
              u"--server: 'a:b:c' is not a host name or address"_s);
        QTest::addRow("help") << QString() << QStringList{u"--help"_s} << QString() << 0
                              << u"(?s)(?=.*--server HOST)(?=.*-4, -6)(?=.*--port N)(?=.*--timeout "
                                 "MS)(?=.*--json)(?=.*--direction)(?=.*--verbose)(?=.*--version)"
                                 "(?=.*not-testable-at-tester)(?=.*Exit codes)"_s
                              << none;
        QTest::addRow("version") << QString() << QStringList{u"--version"_s} << QString() << 0
                                 << u"\\Avx-connectivity-check "_s +
                                        QRegularExpression::escape(QStringLiteral(VX_VERSION)) +
                                        u"\n\\z"_s
                                 << none;
        for (const QString &server : {u"127.0.0.1:%1"_s, u"[::1]:%1"_s})
            QTest::addRow("--server %s", qPrintable(server))
                << u"tester"_s << QStringList{u"--server"_s, server, u"ip"_s} << QString() << 0
                << literal(server.section(u':', 0, -2).remove(u'[').remove(u']') + u'\n')
                << literal(u"vx-connectivity-check: "_s +
                           server.section(u':', 0, -2).remove(u'[').remove(u']') +
                           u" is a loopback address: the tester runs on this machine: these "
                           "results say nothing about the internet\n"_s);
        QTest::addRow("disk full")
            << u"tester"_s << QStringList{u"--port"_s, u"%1"_s, u"ip"_s} << u"full"_s << 2 << none
            << literal(u"vx-connectivity-check: 127.0.0.1 is a loopback address: the tester "
                       "runs on this machine: these results say nothing about the internet\n"
                       "vx-connectivity-check: cannot write the output: "
                       "No space left on device\n"_s);
        // The first result cannot be written: the second check is never asked for.
        QTest::addRow("reader gone")
            << u"tester"_s << QStringList{u"--port"_s, u"%1"_s,  u"--verbose"_s, u"--direction"_s,
                                          u"out"_s,    u"tcp"_s, u"%2,%3"_s}
            << u"gone"_s << 2 << none
            << u"\\A(?:[#<] .*\n|> getpublicip\n)*> testport in tcp %2 5000\n(?:[#<] .*\n|> "
               u"porttesting.*\n)*"
               "vx-connectivity-check: cannot write the output: Broken pipe\n\\z"_s;
        const QString refused =
            u"vx-connectivity-check: cannot connect to 127.0.0.1:%1: connection refused (is a tester running there? name it with --server HOST[:PORT])\n"_s;
        QTest::addRow("nobody") << QString() << QStringList{u"--port"_s, u"%1"_s, u"tcp"_s, u"80"_s}
                                << QString() << 2 << none << literal(refused);
        QTest::addRow("nobody, json")
            << QString() << QStringList{u"--port"_s, u"%1"_s, u"--json"_s, u"ip"_s} << QString()
            << 2
            << u"\"error\": \"cannot connect to 127\\.0\\.0\\.1:%1: connection refused \\(is a tester"_s
            << literal(refused);
        QTest::addRow("nobody over ::1")
            << QString() << QStringList{u"--server"_s, u"::1"_s, u"--port"_s, u"%1"_s, u"ip"_s}
            << QString() << 2 << none
            << literal(
                   u"vx-connectivity-check: cannot connect to [::1]:%1: connection refused (is a tester running there? name it with --server HOST[:PORT])\n"_s);
        QTest::addRow("silent, ip")
            << u"silent"_s << QStringList{u"--port"_s, u"%1"_s, u"--timeout"_s, u"300"_s, u"ip"_s}
            << QString() << 2 << none
            << literal(u"vx-connectivity-check: no address from 127.0.0.1:%1: no answer within "
                       "300 ms\n"_s);
        QTest::addRow("silent, checks")
            << u"silent"_s
            << QStringList{u"--port"_s, u"%1"_s, u"--timeout"_s, u"300"_s, u"udp"_s, u"%2,%3"_s}
            << QString() << 2 << none
            << literal(u"vx-connectivity-check: 127.0.0.1:%1: the tester did not answer within "
                       "2300 ms (busy, or not a tester)\n"_s);
        // Not a result for each check, but why none could run.
        const QString closed =
            u"vx-connectivity-check: 127.0.0.1:%1: the server closed the connection before "
            "answering (paused, full, or not a tester)\n"_s;
        for (const QStringList &command : {QStringList{u"ip"_s}, QStringList{u"tcp"_s, u"%2"_s}})
            QTest::addRow("closing, %s", qPrintable(command.first()))
                << u"closing"_s << QStringList{u"--port"_s, u"%1"_s} + command << QString() << 2
                << none << literal(closed);
        QTest::addRow("banner, cut")
            << u"banner"_s << QStringList{u"--port"_s, u"%1"_s, u"tcp"_s, u"%2,%3"_s} << QString()
            << 2 << none
            << literal(u"vx-connectivity-check: the server at 127.0.0.1:%1 is not a connectivity "
                       "tester (it sent: SSH-2.0-"_s +
                       QString(72, u'x') + u"...)\n"_s);
        QTest::addRow("unframed, escaped, json")
            << u"unframed"_s << QStringList{u"--port"_s, u"%1"_s, u"--json"_s, u"ip"_s} << QString()
            << 2 << u"\"error\": \"the server at 127.0.0.1:%1 is not a connectivity tester"_s
            << literal(u"vx-connectivity-check: the server at 127.0.0.1:%1 is not a connectivity "
                       "tester (it sent: \\x1b]0;owned\\x07 <html>)\n"_s);
    }

    void commandLines()
    {
        QFETCH(QString, server);
        QFETCH(QStringList, arguments);
        QFETCH(QString, output);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        if (arguments.join(u' ').contains(u"::1"_s) && !hasIpv6Loopback())
            QSKIP("::1 is not available here");
        QTcpServer listener;
        QVERIFY(server.isEmpty() || server == u"tester"_s ||
                listener.listen(QHostAddress::LocalHost, 0));
        connect(&listener, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *peer = listener.nextPendingConnection();
            if (server == u"banner"_s)
                peer->write("SSH-2.0-" + QByteArray(100, 'x') + "\r\n");
            else if (server == u"unframed"_s)
                peer->write("\x1b]0;owned\x07 <html>");
            if (server != u"silent"_s && server != u"banner"_s)
                peer->disconnectFromHost();
        });
        const quint16 port = server == u"tester"_s ? m_tester.port()
                             : server.isEmpty()    ? freePort()
                                                   : listener.serverPort();
        const QString first = QString::number(freePort());
        const QString second = QString::number(freePort());
        const auto fill = [&](QString text) {
            return text.replace(u"%1"_s, QString::number(port))
                .replace(u"%2"_s, first)
                .replace(u"%3"_s, second);
        };
        for (QString &argument : arguments)
            argument = fill(argument);
        const Run run = tool(arguments, output);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(QRegularExpression(fill(out)).match(text(run.out)).hasMatch(),
                 run.out.constData());
        QVERIFY2(QRegularExpression(fill(err)).match(text(run.err)).hasMatch(),
                 run.err.constData());
    }

    void lyingAddress_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out"); // with --json: a part of what is printed
        QTest::addColumn<QString>("err"); // with --verbose: a part of what is printed
        const QByteArray hostile = "Public IP \x1b]0;owned\x07\x1b[2J\x9b"
                                   "31m\x7fnot-an-address; rm -rf ~\r\n";
        const QString escaped =
            u"\\x1b]0;owned\\x07\\x1b[2J\\x9b31m\\x7fnot-an-address; rm -rf ~"_s;
        const QString notAnAddress =
            u"vx-connectivity-check: the server's answer is not an IP address: "_s;
        const auto row = [](const char *name, const QStringList &options, const QByteArray &answer,
                            int exitCode, const QString &out, const QString &err) {
            QTest::addRow("%s", name) << options << answer << exitCode << out << err;
        };
        row("escapes", {}, hostile, 2, {}, notAnAddress + escaped + u'\n');
        row("escapes, verbose", {u"--verbose"_s}, hostile, 2, {}, u"< Public IP "_s + escaped);
        row("escapes, json", {u"--json"_s}, hostile, 2,
            u"\"error\": \"the server's answer is not an IP address: \\\\x1b]0;owned\\\\x07"_s,
            notAnAddress + escaped + u'\n');
        row("trailing junk", {}, "Public IP 192.0.2.7 x\r\n", 2, {},
            notAnAddress + u"192.0.2.7 x\n"_s);
        row("scope", {}, "Public IP fe80::1%\x1b[2J\r\n", 2, {},
            notAnAddress + u"fe80::1%\\x1b[2J\n"_s);
        row("empty", {}, "Public IP \r\n", 2, {}, notAnAddress + u'\n');
        // Without --verbose nothing but the result is printed; with it, stdout is the same.
        const QString special = u"vx-connectivity-check: %1 is a special address: the tester sees "
                                "a special-purpose address, not a public one: these results say "
                                "nothing about the internet\n"_s;
        const QByteArray documentation = "Public IP 192.0.2.7\r\n";
        row("ipv4", {}, documentation, 0, u"192.0.2.7\n"_s, special.arg(u"192.0.2.7"_s));
        row("ipv4, json", {u"--json"_s}, documentation, 0, u"\"publicIp\": \"192.0.2.7\""_s, {});
        row("ipv4, verbose", {u"--verbose"_s}, documentation, 0, u"192.0.2.7\n"_s,
            u"> getpublicip\n< Public IP 192.0.2.7\n"_s);
        row("ipv6", {}, "Public IP 2001:db8::7\r\n", 0, u"2001:db8::7\n"_s,
            special.arg(u"2001:db8::7"_s));
    }

    // Only an address is printed as the address, and nothing the server sends reaches the terminal
    // as control characters.
    void lyingAddress()
    {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, answer);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        StandIn fake(answer);
        const Run run =
            tool(QStringList{u"--port"_s, fake.port()} + options + QStringList{u"ip"_s});
        QCOMPARE(fake.request, QByteArray("getpublicip\r\n"));
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(!hasControlCharacter(text(run.out + run.err)),
                 QByteArray(run.out + run.err).constData());
        if (options.contains(u"--json"_s)) {
            QVERIFY2(text(run.out).contains(out), run.out.constData());
            QCOMPARE(QJsonDocument::fromJson(run.out)[u"server"_s].toString(),
                     u"127.0.0.1:"_s + fake.port());
            QCOMPARE(schemaViolation(
                         QJsonDocument::fromJson(run.out).object(),
                         documentedSchema(QStringLiteral(VX_JSON_DOC),
                                          exitCode == 0 ? u"client-ip"_s : u"client-failure"_s)),
                     QString());
        } else {
            QCOMPARE(text(run.out), out);
        }
        if (options.contains(u"--verbose"_s))
            QVERIFY2(text(run.err).contains(err), run.err.constData());
        else
            QCOMPARE(text(run.err), err);
    }

    void lyingCheck_data()
    {
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<QString>("answer"); // %1: the port
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("detail"); // a pattern
        const QString blocked =
            u"  .* arrived here within 2300 ms; check: Does the firewall here let incoming "_s;
        QTest::addRow("tcp") << u"tcp"_s
                             << u"porttesting out tcp %1\r\nporttesting out tcp %1 success\r\n"_s
                             << u"timeout"_s << blocked;
        QTest::addRow("udp") << u"udp"_s
                             << u"porttesting out udp %1\r\nporttesting out udp %1 success\r\n"_s
                             << u"timeout"_s << blocked;
        // A go line after a report, with Unicode blanks: no line at all, so nothing came.
        QTest::addRow("udp, a line read two ways")
            << u"udp"_s
            << u"porttesting\u00a0out\u00a0udp\u00a0%1\u00a0success porttesting out udp %1\r\n"_s
            << u"tester-silent"_s << u"  no answer from the server within 2300 ms; check: "_s;
        // Not a lie, but a request turned away: said, with when to try again.
        QTest::addRow("tcp, rate limited")
            << u"tcp"_s << u"ratelimited 30\r\n%1"_s << u"rate-limited"_s
            << u"  the tester takes no more tests from this address for now; try again in 30 s; "
               u"check: Nothing to check here"_s;
        // Not a lie, but the server's reason for its failure, shown escaped.
        QTest::addRow("udp, the server's failure")
            << u"udp"_s << u"porttesting out udp %1 failure: \x1b[2Jno buffers\r\n"_s
            << u"not-testable-at-tester"_s
            << u"  the server could not bind a port to send from: \\\\x1b\\[2Jno buffers; check: "_s;
    }

    // A server's claim that its connection or pings got through to this machine is no arrival here.
    void lyingCheck()
    {
        QFETCH(QString, protocol);
        QFETCH(QString, answer);
        QFETCH(QString, outcome);
        QFETCH(QString, detail);
        const quint16 port = freePort();
        StandIn fake(answer.arg(port).toLatin1());
        const Run run = tool({u"--port"_s, fake.port(), u"--timeout"_s, u"300"_s, protocol,
                              QString::number(port), u"--direction"_s, u"in"_s});
        QCOMPARE(fake.request, u"testport out %1 %2 300\r\n"_s.arg(protocol).arg(port).toLatin1());
        QCOMPARE(run.exitCode, 1);
        VERIFY_LINES(run.out, {result(protocol, port, u"in"_s, outcome) + detail,
                               exactly(u"1 check: 0 reachable, 1 "_s + outcome)});
    }
};

QTEST_GUILESS_MAIN(TestClient)
#include "tst_client.moc"
