#include "porttest/porttest.h"
#include "tests/common/testhelpers.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QThread>

#include <array>

using namespace Qt::StringLiterals;
using namespace vxtest;

namespace {

constexpr int longLimit = 600000; // a time limit that never ends a test during a case
constexpr int quietTime = 300;    // how long "nothing more happens" is watched for

// The line with %1 as the port and %2 as another.
QString withPorts(QString line, quint16 port, quint16 other = 0)
{
    return line.replace(u"%1"_s, QString::number(port)).replace(u"%2"_s, QString::number(other));
}

// What a server-side test emits, in order, when it succeeds, times out or cannot set up.
QStringList emitted(const QString &go, char outcome)
{
    return outcome == 's'   ? QStringList{go, go + u" success\r\n"_s, u"done(true)"_s}
           : outcome == 't' ? QStringList{go, u"done(false)"_s, go + u" timeout"_s}
                            : QStringList{go + u" failure"_s, u"done(false)"_s, go + u" timeout"_s};
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
    void cleanup()
    {
        // Sockets and timers released by finished tests go before the next case (and before exit).
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // One test against a raw peer that connects, sends a datagram, listens, binds (and reads the
    // pings), holds the port first, or does nothing: on the server's side, or on the requesting
    // side as the client tool runs it.
    void kinds_data()
    {
        QTest::addColumn<bool>("serverSide");
        QTest::addColumn<int>("protocol");
        QTest::addColumn<int>("direction");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QString>("peer");       // the test's peer address; empty: left default
        QTest::addColumn<QString>("action");     // connect, send, listen, bind, hold or none
        QTest::addColumn<QStringList>("events"); // all the test emits, %1 its port
        QTest::addColumn<QString>("log"); // a debug line it writes, %1 its port, %2 the error
        QTest::addColumn<QByteArray>("datagram");
        const auto row = [](const char *name, bool server, int protocol, int direction, int limit,
                            const QString &peer, const QString &action, const QStringList &events,
                            const QString &log = {}, const QByteArray &datagram = "PortTestPing") {
            QTest::addRow("%s", name) << server << protocol << direction << limit << peer << action
                                      << events << log << datagram;
        };
        const int tcp = PortTest::Tcp, udp = PortTest::Udp, in = PortTest::In, out = PortTest::Out;
        const QString tcpIn = u"porttesting in tcp %1"_s, udpIn = u"porttesting in udp %1"_s;
        const QString tcpOut = u"porttesting out tcp %1"_s, udpOut = u"porttesting out udp %1"_s;
        const QString loop = u"127.0.0.1"_s;
        row("tcp in, expected peer", true, tcp, in, longLimit, loop, u"connect"_s,
            emitted(tcpIn, 's'),
            u"PortTest::onTcpConnection() - got connection request from expected peer 127.0.0.1"_s);
        row("tcp in, other address", true, tcp, in, longLimit, u"192.0.2.7"_s, u"connect"_s,
            emitted(tcpIn, 's'),
            u"PortTest::onTcpConnection() - got a connection request from 127.0.0.1"_s);
        row("tcp in, nobody comes, limit 0 raised to 100 ms", true, tcp, in, 0, {}, u"none"_s,
            emitted(tcpIn, 't'));
        row("tcp in, port held", true, tcp, in, 200, {}, u"hold"_s, emitted(tcpIn, 'f'),
            u"PortTest::setupTCPTest() - listening on port %1 failed! Error: %2"_s);
        row("tcp out", true, tcp, out, longLimit, {}, u"listen"_s, emitted(tcpOut, 's'));
        row("tcp out, closed port", true, tcp, out, 200, {}, u"none"_s, emitted(tcpOut, 't'));
        row("udp in, ping", true, udp, in, longLimit, {}, u"send"_s, emitted(udpIn, 's'));
        row("udp in, ping inside other bytes", true, udp, in, longLimit, {}, u"send"_s,
            emitted(udpIn, 's'), {}, QByteArray("xx\0PortTestPing--", 17));
        for (const char *notPing : {"PortTestPin", "porttestping", "PORTTESTPING", ""})
            row(qPrintable(u"udp in, not a ping: '%1'"_s.arg(QLatin1StringView(notPing))), true,
                udp, in, 500, {}, u"send"_s, emitted(udpIn, 't'), {}, notPing);
        row("udp in, port held exclusively", true, udp, in, 200, {}, u"hold"_s, emitted(udpIn, 'f'),
            u"PortTest::setupUDPTest() - Could not bind to UDP-Port %1"_s);
        // The client's report ends the test; the server sends no line of its own.
        row("udp out", true, udp, out, longLimit, loop, u"bind"_s, {udpOut, u"done(true)"_s});
        row("udp out, other loopback address", true, udp, out, longLimit, u"127.0.0.2"_s, u"bind"_s,
            {udpOut, u"done(true)"_s});
        const QString done = u"done(true)"_s;
        row("requesting, tcp in", false, tcp, in, longLimit, {}, u"connect"_s,
            {u"testport out tcp %1 600000"_s, tcpIn + u" success\r\n"_s, done});
        row("requesting, udp in", false, udp, in, longLimit, {}, u"send"_s,
            {u"testport out udp %1 600000"_s, udpIn + u" success\r\n"_s, done});
        row("requesting, tcp out", false, tcp, out, 1000, {}, u"listen"_s,
            {u"testport in tcp %1 1000"_s, tcpOut + u" success\r\n"_s, done});
        row("requesting, udp out", false, udp, out, 0, loop, u"bind"_s,
            {u"testport in udp %1 100"_s, done});
    }

    void kinds()
    {
        QFETCH(bool, serverSide);
        QFETCH(int, protocol);
        QFETCH(int, direction);
        QFETCH(int, limit);
        QFETCH(QString, peer);
        QFETCH(QString, action);
        QFETCH(QStringList, events);
        QFETCH(QString, log);
        QFETCH(QByteArray, datagram);
        const bool tcp = protocol == PortTest::Tcp;
        const bool holding = action == u"hold"_s;
        QTcpServer tcpServer; // the held port, or the listening peer
        QUdpSocket udpPeer;   // the held port, the bound peer, or the sender
        quint16 port = freePort();
        QString error;
        if (tcp && (holding || action == u"listen"_s)) {
            QVERIFY(tcpServer.listen(QHostAddress::AnyIPv4, 0));
            port = tcpServer.serverPort();
            QTcpServer second; // the error a listen on the held port gets
            if (holding && !second.listen(QHostAddress::AnyIPv4, port))
                error = second.errorString();
        } else if (holding || action == u"bind"_s) {
            const QHostAddress at =
                holding ? QHostAddress(QHostAddress::AnyIPv4) : QHostAddress(peer);
            if (!udpPeer.bind(at, 0, QUdpSocket::DontShareAddress))
                QSKIP("this machine cannot bind the address");
            port = udpPeer.localPort();
        }
        for (QString &event : events)
            event = withPorts(event, port);
        PortTest test(port, PortTest::Protocol(protocol), PortTest::Direction(direction), limit,
                      QString());
        if (!peer.isEmpty())
            test.setPeerAddress(peer);
        Recorder recorder(test);
        QElapsedTimer clock;
        clock.start();
        if (holding)
            QTest::ignoreMessage(QtDebugMsg,
                                 qPrintable(withPorts(QString(log).replace(u"%2"_s, error), port)));
        QCOMPARE(test.handleTest(serverSide), !holding);
        QCOMPARE(recorder.events, events.mid(0, 1));
        if (holding && tcp)
            QCOMPARE(test.errorString(), error);

        if (!holding && !log.isEmpty())
            QTest::ignoreMessage(QtDebugMsg, qPrintable(log));
        const QString go =
            (tcp ? u"porttesting in tcp "_s : u"porttesting in udp "_s) + QString::number(port);
        if (!serverSide && direction == PortTest::Out) {
            // Nothing reaches the peer before the go line, and no time limit of its own runs.
            QSignalSpy pinged(&udpPeer, &QUdpSocket::readyRead);
            QVERIFY(tcp ? !tcpServer.waitForNewConnection(quietTime) : !pinged.wait(quietTime));
            QCOMPARE(recorder.events.size(), 1);
            test.onControlMessage(go);
            test.onControlMessage(go); // a second go line starts nothing more
        }
        QTcpSocket tcpPeer;
        if (action == u"connect"_s) {
            tcpPeer.connectToHost(QHostAddress::LocalHost, port);
        } else if (action == u"send"_s) {
            QCOMPARE(udpPeer.writeDatagram(datagram, QHostAddress::LocalHost, port),
                     datagram.size());
        } else if (action == u"bind"_s) {
            QList<QByteArray> pings;
            QTRY_VERIFY_WITH_TIMEOUT(drainDatagrams(udpPeer, pings) >= 3, kPatience);
            QVERIFY2(clock.elapsed() >= 100, "pings leave every 50 ms, the first after 50 ms");
            QCOMPARE(pings, QList<QByteArray>(pings.size(), "PortTestPing"));
            test.onControlMessage(go + u" success"_s);
        }
        QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), events.size(), kPatience);
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
        if (action == u"bind"_s) { // the pings stop
            QList<QByteArray> late;
            drainDatagrams(udpPeer, late);
            QSignalSpy more(&udpPeer, &QUdpSocket::readyRead);
            QVERIFY(!more.wait(quietTime));
        }
        if (direction == PortTest::In && !holding) {
            QTcpServer tcpAgain;
            QUdpSocket udpAgain;
            QVERIFY2(tcp ? tcpAgain.listen(QHostAddress::AnyIPv4, port)
                         : udpAgain.bind(QHostAddress::AnyIPv4, port, QUdpSocket::DontShareAddress),
                     "the port is free once the test has ended");
        }
    }

    // One "porttesting" line reaching a server-side UDP in test or a requesting-side UDP out test.
    void reports_data()
    {
        QTest::addColumn<bool>("serverSide");
        QTest::addColumn<QString>("line"); // %1 is the test's port, %2 another one
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("log");
        const QString mismatch =
            u"ServerSide - PortTest::onControlMessage() port or protocol do not "
            u"match currently scheduled test!"_s;
        const QString invalid = u"PortTest::onControlMessage got invalid commandline: "_s;
        const auto row = [](const char *name, bool server, const QString &line,
                            const QString &outcome, const QString &log = QString()) {
            QTest::addRow("%s %s", server ? "server" : "client", name)
                << server << line << outcome << log;
        };
        row("success", true, u"porttesting in udp %1 success"_s, u"success"_s);
        row("other direction", true, u"porttesting out udp %1 success"_s, u"success"_s);
        row("upper case", true, u"PORTTESTING IN UDP %1 SUCCESS"_s, u"success"_s);
        row("text before", true, u"say porttesting in udp %1 success"_s, u"none"_s,
            invalid + u"say porttesting in udp %1 success"_s);
        row("text after", true, u"porttesting in udp %1 success\r00:00:00.000 [1] DEBUG: x"_s,
            u"none"_s, invalid + u"porttesting in udp %1 success\\r00:00:00.000 [1] DEBUG: x"_s);
        row("no blank before status", true, u"porttesting in udp %1success"_s, u"success"_s);
        row("failure", true, u"porttesting in udp %1 failure"_s, u"failure"_s);
        row("timeout", true, u"porttesting in udp %1 timeout"_s, u"none"_s);
        row("no status", true, u"porttesting in udp %1"_s, u"none"_s);
        row("two blanks", true, u"porttesting in udp %1  success"_s, u"none"_s);
        row("other protocol", true, u"porttesting in tcp %1 success"_s, u"none"_s, mismatch);
        row("other port", true, u"porttesting in udp %2 success"_s, u"none"_s, mismatch);
        row("eleven digits", true, u"porttesting in udp 12345678901 success"_s, u"none"_s,
            mismatch);
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

    void reports()
    {
        QFETCH(bool, serverSide);
        QFETCH(QString, line);
        QFETCH(QString, outcome);
        QFETCH(QString, log);
        const quint16 port = freePort();
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

    // Successes pending together, with each other or with the timeout: the test ends once, and a
    // timeout that comes after the end changes nothing.
    void successRaces_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<int>("peers");
        QTest::addColumn<int>("limit");
        QTest::addRow("tcp connection against timeout") << int(PortTest::Tcp) << 1 << 100;
        QTest::addRow("udp ping against timeout") << int(PortTest::Udp) << 1 << 100;
        QTest::addRow("two tcp connections") << int(PortTest::Tcp) << 2 << longLimit;
        QTest::addRow("three udp pings") << int(PortTest::Udp) << 3 << longLimit;
    }

    void successRaces()
    {
        QFETCH(int, protocol);
        QFETCH(int, peers);
        QFETCH(int, limit);
        const bool tcp = protocol == PortTest::Tcp;
        const quint16 port = freePort();
        PortTest test(port, PortTest::Protocol(protocol), PortTest::In, limit, QString());
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
        // Keeps the loop from running until all falls due, so that it is pending at once.
        while (!clock.hasExpired(300))
            QThread::msleep(5);

        QTRY_COMPARE_WITH_TIMEOUT(recorder.doneCount(), 1, kPatience);
        QTest::qWait(quietTime);
        const QString go =
            withPorts(tcp ? u"porttesting in tcp %1"_s : u"porttesting in udp %1"_s, port);
        const bool timeoutPossible = limit < longLimit;
        QVERIFY2(recorder.events == emitted(go, 's') ||
                     (timeoutPossible && recorder.events == emitted(go, 't')),
                 qPrintable(recorder.events.join(u" | "_s)));
        QCOMPARE(test.isTimedOut(), recorder.events == emitted(go, 't'));

        QTest::ignoreMessage(
            QtDebugMsg, "PortTest::onTimeoutReached() - already finished not triggering twice");
        QVERIFY(QMetaObject::invokeMethod(&test, "onTimeoutReached"));
        QCOMPARE(recorder.events.size(), 3);
    }

    // Abort with the timeout already pending: quiet, once, and the port is free at once.
    void abortWithTimeoutPending()
    {
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

    void timeoutDoesNotReenter()
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
        // Reports after the timeout change nothing.
        test.onControlMessage(withPorts(u"porttesting in tcp %1 success"_s, port));
        test.onControlMessage(withPorts(u"porttesting in tcp %1 failure"_s, port));
        QCOMPARE(
            recorder.events.mid(1),
            (QStringList{u"done(false)"_s, withPorts(u"porttesting in tcp %1 timeout"_s, port)}));
        QVERIFY(test.isTimedOut() && !test.isSuccess());
        QTRY_VERIFY_WITH_TIMEOUT(queuedRan, kPatience);
    }
};

QTEST_GUILESS_MAIN(TstPortTest)
#include "tst_porttest.moc"
