#include "porttest/porttest.h"
#include "tests/common/testhelpers.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QThread>

#include <array>

using namespace Qt::StringLiterals;
using namespace vxtest;

namespace {

constexpr int longLimit = 600000; // a time limit that never ends a test during a case
constexpr int quietTime = 300;    // how long "nothing more happens" is watched for

QStringList withPorts(QStringList lines, quint16 port, quint16 other = 0)
{
    for (QString &line : lines)
        line.replace(u"%1"_s, QString::number(port)).replace(u"%2"_s, QString::number(other));
    return lines;
}
QString withPorts(const QString &line, quint16 port, quint16 other = 0)
{
    return withPorts(QStringList{line}, port, other).first();
}

// What a server-side test emits, in order, when it succeeds, times out or cannot set up.
QStringList succeeded(const QString &go)
{
    return {go, go + u" success\r\n"_s, u"done(true)"_s};
}
QStringList timedOut(const QString &go)
{
    return {go, u"done(false)"_s, go + u" timeout"_s};
}
QStringList setupFailed(const QString &go)
{
    return {go + u" failure"_s, u"done(false)"_s, go + u" timeout"_s};
}

// Keeps the event loop from running until `ms` have passed since `since`, so that whatever falls
// due meanwhile is pending at once when it runs again.
void holdLoopUntil(const QElapsedTimer &since, int ms)
{
    while (!since.hasExpired(ms))
        QThread::msleep(5);
}

int drainDatagrams(QUdpSocket &socket, QList<QByteArray> &into)
{
    while (socket.hasPendingDatagrams()) {
        QByteArray datagram(socket.pendingDatagramSize(), '\0');
        datagram.truncate(socket.readDatagram(datagram.data(), datagram.size()));
        into << datagram;
    }
    return into.size();
}

// Everything a test emits, in emission order: its lines as given and "done(true|false)".
class Recorder : public QObject
{
public:
    explicit Recorder(PortTest &test)
    {
        connect(&test, &PortTest::sendToPeer, this, [this](const QString &mes) { events << mes; });
        connect(&test, &PortTest::testDone, this,
                [this](bool ok) { events << (ok ? u"done(true)"_s : u"done(false)"_s); });
    }
    qsizetype doneCount() const
    {
        return events.count(u"done(true)"_s) + events.count(u"done(false)"_s);
    }
    QStringList events;
};

} // namespace

class TstPortTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();
    void construction_data();
    void construction();
    void copySemantics();
    void serverSide_data();
    void serverSide();
    void serverUdpOut_data();
    void serverUdpOut();
    void reports_data();
    void reports();
    void clientOutWaitsForGoLine();
    void successRaces_data();
    void successRaces();
    void abortAndLateReports();
    void timeoutDoesNotReenter();
};

void TstPortTest::cleanup()
{
    // Sockets and timers released by finished tests go before the next case (and before exit).
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void TstPortTest::construction_data()
{
    QTest::addColumn<int>("given");
    QTest::addColumn<int>("limit");
    QTest::addRow("zero") << 0 << 100;
    QTest::addRow("fifty") << 50 << 100;
    QTest::addRow("negative") << -1 << 100;
    QTest::addRow("hundred") << 100 << 100;
    QTest::addRow("ten minutes") << 600000 << 600000;
}

void TstPortTest::construction()
{
    QFETCH(int, given);
    QFETCH(int, limit);
    QCOMPARE(PortTest(80, PortTest::Tcp, PortTest::In, given, QString()).timeout(), limit);

    const PortTest plain;
    QCOMPARE(plain.port(), quint16(0));
    QCOMPARE(plain.protocol(), int(PortTest::Udp));
    QCOMPARE(plain.direction(), int(PortTest::In));
    QCOMPARE(plain.timeout(), 5000);
    QCOMPARE(plain.peerAddress(), u"127.0.0.1"_s);
}

void TstPortTest::copySemantics()
{
    const quint16 port = freePort();
    PortTest original(port, PortTest::Tcp, PortTest::In, longLimit, u"note"_s);
    original.setPeerAddress(u"192.0.2.9"_s);
    Recorder recorder(original);
    QVERIFY(original.handleTest(true));
    {
        const PortTest copy(original);
        QCOMPARE(copy.port(), port);
        QCOMPARE(copy.timeout(), longLimit);
        QCOMPARE(copy.text(), u"note"_s);
        QCOMPARE(copy.peerAddress(), u"192.0.2.9"_s);
        QVERIFY(copy.isServerSide() && !copy.isFinished());

        // Assigning over a running test releases what it held: its port is free at once.
        const quint16 otherPort = freePort();
        PortTest target(otherPort, PortTest::Udp, PortTest::Out, 100, QString());
        QVERIFY(target.handleTest(true));
        target = original;
        QCOMPARE(target.port(), port);
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::AnyIPv4, otherPort));
        PortTest &alias = target;
        target = alias;
        QCOMPARE(target.text(), u"note"_s);
    }
    // Copies held no socket: the original still listens after they are gone.
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, port);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 3, kPatience);
    QCOMPARE(recorder.events.at(2), u"done(true)"_s);
}

// A server-side test against a raw peer that connects, listens, sends one datagram, holds the
// port first, or does nothing.
void TstPortTest::serverSide_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<int>("direction");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QString>("peer");   // the test's peer address; empty: left default
    QTest::addColumn<QString>("action"); // connect, listen, send, hold or none
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QStringList>("events"); // all the test emits, %1 its port
    QTest::addColumn<QString>("log");        // a debug line it writes, %1 its port, %2 the error

    const int tcp = PortTest::Tcp, udp = PortTest::Udp, in = PortTest::In, out = PortTest::Out;
    const QString tcpIn = u"porttesting in tcp %1"_s, udpIn = u"porttesting in udp %1"_s;
    const QString tcpOut = u"porttesting out tcp %1"_s;
    QTest::addRow("tcp in, expected peer")
        << tcp << in << longLimit << u"127.0.0.1"_s << u"connect"_s << QByteArray()
        << succeeded(tcpIn)
        << u"PortTest::onTcpConnection() - got connection request from expected peer 127.0.0.1"_s;
    QTest::addRow("tcp in, other address")
        << tcp << in << longLimit << u"192.0.2.7"_s << u"connect"_s << QByteArray()
        << succeeded(tcpIn)
        << u"PortTest::onTcpConnection() - got a connection request from 127.0.0.1"_s;
    QTest::addRow("tcp in, nobody comes, limit 0 raised to 100 ms")
        << tcp << in << 0 << QString() << u"none"_s << QByteArray() << timedOut(tcpIn) << QString();
    QTest::addRow("tcp in, port held")
        << tcp << in << 200 << QString() << u"hold"_s << QByteArray() << setupFailed(tcpIn)
        << u"PortTest::setupTCPTest() - listening on port %1 failed! Error: %2"_s;
    QTest::addRow("tcp out") << tcp << out << longLimit << QString() << u"listen"_s << QByteArray()
                             << succeeded(tcpOut) << QString();
    QTest::addRow("tcp out, closed port") << tcp << out << 200 << QString() << u"none"_s
                                          << QByteArray() << timedOut(tcpOut) << QString();
    QTest::addRow("udp in, ping") << udp << in << longLimit << QString() << u"send"_s
                                  << QByteArray("PortTestPing") << succeeded(udpIn) << QString();
    QTest::addRow("udp in, ping inside other bytes")
        << udp << in << longLimit << QString() << u"send"_s << QByteArray("xx\0PortTestPing--", 17)
        << succeeded(udpIn) << QString();
    for (const char *notPing : {"PortTestPin", "porttestping", "PORTTESTPING", ""})
        QTest::addRow("udp in, not a ping: '%s'", notPing)
            << udp << in << 500 << QString() << u"send"_s << QByteArray(notPing) << timedOut(udpIn)
            << QString();
    QTest::addRow("udp in, port held exclusively")
        << udp << in << 200 << QString() << u"hold"_s << QByteArray() << setupFailed(udpIn)
        << u"PortTest::setupUDPTest() - Could not bind to UDP-Port %1"_s;
}

void TstPortTest::serverSide()
{
    QFETCH(int, protocol);
    QFETCH(int, direction);
    QFETCH(int, limit);
    QFETCH(QString, peer);
    QFETCH(QString, action);
    QFETCH(QByteArray, datagram);
    QFETCH(QStringList, events);
    QFETCH(QString, log);
    const bool tcp = protocol == PortTest::Tcp;
    QTcpServer tcpServer; // the held port, or the listening peer of a TCP out test
    QUdpSocket udpHolder;
    quint16 port = freePort(!tcp);
    QString error;
    const bool holding = action == u"hold"_s;
    if (tcp && (holding || action == u"listen"_s)) {
        QVERIFY(tcpServer.listen(QHostAddress::AnyIPv4, 0));
        port = tcpServer.serverPort();
        QTcpServer second; // the error a listen on the held port gets
        if (holding && !second.listen(QHostAddress::AnyIPv4, port))
            error = second.errorString();
    } else if (holding) {
        QVERIFY(udpHolder.bind(QHostAddress::AnyIPv4, 0, QUdpSocket::DontShareAddress));
        port = udpHolder.localPort();
    }
    events = withPorts(events, port);
    PortTest test(port, protocol, direction, limit, QString());
    if (!peer.isEmpty())
        test.setPeerAddress(peer);
    Recorder recorder(test);
    QElapsedTimer clock;
    clock.start();
    if (holding)
        QTest::ignoreMessage(QtDebugMsg,
                             qPrintable(withPorts(QString(log).replace(u"%2"_s, error), port)));
    QCOMPARE(test.handleTest(true), !holding);
    QCOMPARE(recorder.events, events.mid(0, 1));
    if (holding && tcp)
        QCOMPARE(test.errorString(), error);

    if (!holding && !log.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, qPrintable(log));
    QTcpSocket tcpPeer;
    QUdpSocket udpPeer;
    if (action == u"connect"_s)
        tcpPeer.connectToHost(QHostAddress::LocalHost, port);
    else if (action == u"send"_s)
        QCOMPARE(udpPeer.writeDatagram(datagram, QHostAddress::LocalHost, port), datagram.size());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 3, kPatience);
    QCOMPARE(recorder.events, events);
    const bool success = events.last() == u"done(true)"_s;
    QVERIFY(test.isFinished());
    QCOMPARE(test.isSuccess(), success);
    QCOMPARE(test.isTimedOut(), !success);
    if (!success)
        QVERIFY2(clock.elapsed() >= qMax(limit, 100) - 10,
                 "ends by its time limit, at least 100 ms");
    if (action == u"listen"_s)
        QVERIFY(tcpServer.hasPendingConnections());
    if (direction == PortTest::In && !holding) {
        QTcpServer tcpAgain;
        QUdpSocket udpAgain;
        QVERIFY2(tcp ? tcpAgain.listen(QHostAddress::AnyIPv4, port)
                     : udpAgain.bind(QHostAddress::AnyIPv4, port, QUdpSocket::DontShareAddress),
                 "the port is free once the test has ended");
    }
}

void TstPortTest::serverUdpOut_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addRow("loopback") << u"127.0.0.1"_s;
    QTest::addRow("other loopback address") << u"127.0.0.2"_s;
}

void TstPortTest::serverUdpOut()
{
    QFETCH(QString, peer);
    QUdpSocket client;
    if (!client.bind(QHostAddress(peer), 0))
        QSKIP("this machine cannot bind the address");
    const quint16 port = client.localPort();
    PortTest test(port, PortTest::Udp, PortTest::Out, longLimit, QString());
    test.setPeerAddress(peer);
    Recorder recorder(test);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(test.handleTest(true));
    QCOMPARE(recorder.events, QStringList{withPorts(u"porttesting out udp %1"_s, port)});

    QList<QByteArray> pings;
    QTRY_VERIFY_WITH_TIMEOUT(drainDatagrams(client, pings) >= 3, kPatience);
    QVERIFY2(clock.elapsed() >= 100, "pings leave every 50 ms, the first after 50 ms");
    for (const QByteArray &ping : std::as_const(pings))
        QCOMPARE(ping, QByteArray("PortTestPing"));

    // The client's report ends the test; the server sends no line of its own and stops pinging.
    test.onControlMessage(withPorts(u"porttesting in udp %1 success"_s, port));
    QCOMPARE(recorder.events.mid(1), QStringList{u"done(true)"_s});
    drainDatagrams(client, pings);
    QSignalSpy more(&client, &QUdpSocket::readyRead);
    QVERIFY(!more.wait(quietTime));
}

// One "porttesting" line reaching a server-side UDP in test or a requesting-side UDP out test.
void TstPortTest::reports_data()
{
    QTest::addColumn<bool>("serverSide");
    QTest::addColumn<QString>("line"); // %1 is the test's port, %2 another one
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("log");
    const QString mismatch = u"ServerSide - PortTest::onControlMessage() port or protocol do not "
                             u"match currently scheduled test!"_s;
    const QString invalid = u"PortTest::onControlMessage got invalid commandline: "_s;
    const auto row = [](const char *name, bool server, const QString &line, const QString &outcome,
                        const QString &log = QString()) {
        QTest::addRow("%s %s", server ? "server" : "client", name)
            << server << line << outcome << log;
    };
    row("success", true, u"porttesting in udp %1 success"_s, u"success"_s);
    row("other direction", true, u"porttesting out udp %1 success"_s, u"success"_s);
    row("upper case", true, u"PORTTESTING IN UDP %1 SUCCESS"_s, u"success"_s);
    row("text around", true, u"say porttesting in udp %1 success now"_s, u"success"_s);
    row("no blank before status", true, u"porttesting in udp %1success"_s, u"success"_s);
    row("failure", true, u"porttesting in udp %1 failure"_s, u"failure"_s);
    row("timeout", true, u"porttesting in udp %1 timeout"_s, u"none"_s);
    row("no status", true, u"porttesting in udp %1"_s, u"none"_s);
    row("two blanks", true, u"porttesting in udp %1  success"_s, u"none"_s);
    row("other protocol", true, u"porttesting in tcp %1 success"_s, u"none"_s, mismatch);
    row("other port", true, u"porttesting in udp %2 success"_s, u"none"_s, mismatch);
    row("eleven digits", true, u"porttesting in udp 12345678901 success"_s, u"none"_s, mismatch);
    row("sideways", true, u"porttesting sideways udp %1 success"_s, u"none"_s,
        invalid + u"porttesting sideways udp %1 success"_s);
    row("keyword only", true, u"porttesting"_s, u"none"_s, invalid + u"porttesting"_s);
    row("udp success", false, u"porttesting in udp 9 success"_s, u"success"_s);
    row("tcp success", false, u"porttesting in tcp 9 success"_s, u"none"_s);
    row("timeout", false, u"porttesting in udp 9 timeout"_s, u"timeout"_s);
    row("failure", false, u"porttesting out tcp 9 failure"_s, u"failure"_s);
    row("go line out", false, u"porttesting out udp 9"_s, u"none"_s);
    row("tcp go line, no socket", false, u"porttesting in tcp 9"_s, u"none"_s,
        u"Error: m_tcp_socket == NULL !!!"_s);
    row("invalid", false, u"porttesting in ftp 9"_s, u"none"_s,
        invalid + u"porttesting in ftp 9"_s);
}

void TstPortTest::reports()
{
    QFETCH(bool, serverSide);
    QFETCH(QString, line);
    QFETCH(QString, outcome);
    QFETCH(QString, log);
    const quint16 port = freePort(true);
    const quint16 other = port == 65535 ? port - 1 : port + 1;
    PortTest test(port, PortTest::Udp, serverSide ? PortTest::In : PortTest::Out, longLimit,
                  QString());
    QVERIFY(test.handleTest(serverSide));
    Recorder recorder(test);
    if (!log.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, qPrintable(withPorts(log, port, other)));

    test.onControlMessage(withPorts(line, port, other));
    const QStringList expected = outcome == u"success"_s ? QStringList{u"done(true)"_s}
                                 : outcome == u"none"_s  ? QStringList{}
                                                         : QStringList{u"done(false)"_s};
    QCOMPARE(recorder.events, expected);
    QCOMPARE(test.isFinished(), outcome != u"none"_s);
    QCOMPARE(test.isSuccess(), outcome == u"success"_s);
    QCOMPARE(test.isTimedOut(), outcome == u"timeout"_s);
    // Once ended, no report ends it again.
    test.onControlMessage(withPorts(u"porttesting in udp %1 failure"_s, port));
    if (outcome != u"none"_s)
        QCOMPARE(recorder.events, expected);
}

void TstPortTest::clientOutWaitsForGoLine()
{
    {
        QUdpSocket server;
        QVERIFY(server.bind(QHostAddress::LocalHost, 0));
        const quint16 port = server.localPort();
        PortTest test(port, PortTest::Udp, PortTest::Out, 0, QString());
        Recorder recorder(test);
        QVERIFY(test.handleTest(false));
        QCOMPARE(recorder.events, QStringList{withPorts(u"testport in udp %1 100"_s, port)});
        // No ping before the go line, and no time limit of its own (its 100 ms pass quietly).
        QSignalSpy pinged(&server, &QUdpSocket::readyRead);
        QVERIFY(!pinged.wait(quietTime));
        QCOMPARE(recorder.events.size(), 1);

        test.onControlMessage(withPorts(u"porttesting in udp %1"_s, port));
        test.onControlMessage(withPorts(u"porttesting in udp %1"_s, port));
        QList<QByteArray> pings;
        QTRY_VERIFY_WITH_TIMEOUT(drainDatagrams(server, pings) >= 2, kPatience);
        QCOMPARE(pings.first(), QByteArray("PortTestPing"));
        test.onControlMessage(withPorts(u"porttesting in udp %1 success"_s, port));
        QCOMPARE(recorder.events.mid(1), QStringList{u"done(true)"_s});
    }
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        const quint16 port = server.serverPort();
        PortTest test(port, PortTest::Tcp, PortTest::Out, 1000, QString());
        Recorder recorder(test);
        QVERIFY(test.handleTest(false));
        QCOMPARE(recorder.events, QStringList{withPorts(u"testport in tcp %1 1000"_s, port)});
        QVERIFY(!server.waitForNewConnection(quietTime));

        test.onControlMessage(withPorts(u"porttesting in tcp %1"_s, port));
        QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 3, kPatience);
        QCOMPARE(recorder.events.mid(1),
                 (QStringList{withPorts(u"porttesting out tcp %1 success\r\n"_s, port),
                              u"done(true)"_s}));
        QVERIFY(server.hasPendingConnections());
    }
}

// Successes pending together, with each other or with the timeout: the test ends once, and a
// timeout that comes after the end changes nothing.
void TstPortTest::successRaces_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<int>("peers");
    QTest::addColumn<int>("limit");
    QTest::addRow("tcp connection against timeout") << int(PortTest::Tcp) << 1 << 100;
    QTest::addRow("udp ping against timeout") << int(PortTest::Udp) << 1 << 100;
    QTest::addRow("two tcp connections") << int(PortTest::Tcp) << 2 << longLimit;
    QTest::addRow("three udp pings") << int(PortTest::Udp) << 3 << longLimit;
}

void TstPortTest::successRaces()
{
    QFETCH(int, protocol);
    QFETCH(int, peers);
    QFETCH(int, limit);
    const bool tcp = protocol == PortTest::Tcp;
    const quint16 port = freePort(!tcp);
    PortTest test(port, protocol, PortTest::In, limit, QString());
    Recorder recorder(test);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(test.handleTest(true));
    std::array<QTcpSocket, 2> tcpPeers;
    QUdpSocket udpPeer;
    for (int i = 0; i < peers; ++i) {
        if (tcp) {
            tcpPeers[i].connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(tcpPeers[i].waitForConnected(kPatience));
        } else {
            udpPeer.writeDatagram("PortTestPing", QHostAddress::LocalHost, port);
        }
    }
    holdLoopUntil(clock, 300);

    QTRY_COMPARE_WITH_TIMEOUT(recorder.doneCount(), 1, kPatience);
    QTest::qWait(quietTime);
    const QString go =
        withPorts(tcp ? u"porttesting in tcp %1"_s : u"porttesting in udp %1"_s, port);
    const bool timeoutPossible = limit < longLimit;
    QVERIFY2(recorder.events == succeeded(go) ||
                 (timeoutPossible && recorder.events == timedOut(go)),
             qPrintable(recorder.events.join(u" | "_s)));
    QCOMPARE(test.isTimedOut(), recorder.events == timedOut(go));

    QTest::ignoreMessage(QtDebugMsg,
                         "PortTest::onTimeoutReached() - already finished not triggering twice");
    QVERIFY(QMetaObject::invokeMethod(&test, "onTimeoutReached"));
    QCOMPARE(recorder.events.size(), 3);
}

void TstPortTest::abortAndLateReports()
{
    {
        // Abort with the timeout already pending: quiet, once, and the port is free at once.
        const quint16 port = freePort();
        PortTest test(port, PortTest::Tcp, PortTest::In, 100, QString());
        Recorder recorder(test);
        QVERIFY(test.handleTest(true));
        QVERIFY(QMetaObject::invokeMethod(&test, "onTimeoutReached", Qt::QueuedConnection));
        test.onAbortTest();
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::AnyIPv4, port));
        test.onAbortTest();
        test.onFailure();
        QTest::ignoreMessage(
            QtDebugMsg, "PortTest::onTimeoutReached() - already finished not triggering twice");
        QTest::qWait(quietTime);
        QCOMPARE(recorder.events.size(), 1);
        QVERIFY(test.isFinished() && !test.isSuccess() && !test.isTimedOut());
    }
    {
        // A report after the test timed out.
        const quint16 port = freePort();
        PortTest test(port, PortTest::Tcp, PortTest::In, 100, QString());
        Recorder recorder(test);
        QVERIFY(test.handleTest(true));
        QTRY_COMPARE_WITH_TIMEOUT(recorder.doneCount(), 1, kPatience);
        test.onControlMessage(withPorts(u"porttesting in tcp %1 success"_s, port));
        test.onControlMessage(withPorts(u"porttesting in tcp %1 failure"_s, port));
        QCOMPARE(recorder.events.size(), 3);
        QVERIFY(test.isTimedOut() && !test.isSuccess());
    }
}

void TstPortTest::timeoutDoesNotReenter()
{
    // The timeout slot must not run the thread's pending events itself: a call queued before it
    // runs only after it has returned.
    const quint16 port = freePort();
    PortTest test(port, PortTest::Tcp, PortTest::In, longLimit, QString());
    Recorder recorder(test);
    QVERIFY(test.handleTest(true));
    bool queuedRan = false;
    QMetaObject::invokeMethod(
        &recorder, [&queuedRan] { queuedRan = true; }, Qt::QueuedConnection);
    QVERIFY(QMetaObject::invokeMethod(&test, "onTimeoutReached", Qt::DirectConnection));
    QVERIFY(!queuedRan);
    QCOMPARE(recorder.events.mid(1),
             (QStringList{u"done(false)"_s, withPorts(u"porttesting in tcp %1 timeout"_s, port)}));
    QTRY_VERIFY_WITH_TIMEOUT(queuedRan, kPatience);
}

QTEST_GUILESS_MAIN(TstPortTest)
#include "tst_porttest.moc"
