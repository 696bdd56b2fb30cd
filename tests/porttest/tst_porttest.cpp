#include "porttest/porttest.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <QUdpSocket>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int patience = 10000;   // bound for anything that should happen soon
constexpr int longLimit = 600000; // a time limit that never ends a test during a case
constexpr int quietTime = 300;    // how long "nothing more happens" is watched for

quint16 freeTcpPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::AnyIPv4, 0);
    return probe.serverPort();
}

quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::AnyIPv4, 0);
    return probe.localPort();
}

QString withPorts(QString text, quint16 port, quint16 other = 0)
{
    return text.replace(u"%1"_s, QString::number(port)).replace(u"%2"_s, QString::number(other));
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

// The control connection between a requesting-side test and the service, in process: lines
// get their CR LF as the handler writes them and lose it as the other end reads them, a
// "testport" request creates and starts the server-side test, "porttesting" lines reach the
// other end's test rebuilt as the handler rebuilds them. Delivery is queued, as in the handler.
class ControlLink : public QObject
{
public:
    explicit ControlLink(PortTest &client) : m_client(client)
    {
        connect(&client, &PortTest::sendToPeer, this, &ControlLink::fromClient,
                Qt::QueuedConnection);
    }

    QStringList toServer;
    QStringList toClient;
    std::unique_ptr<PortTest> server;
    std::unique_ptr<Recorder> serverRecorder;

private:
    // One line as it leaves the wire: exactly one CR LF stripped, the word and the rest.
    static std::pair<QString, QString> receive(const QString &mes, QStringList &transcript)
    {
        const QString framed = mes.endsWith(u"\r\n"_s) ? mes : mes + u"\r\n"_s;
        const QString line = framed.chopped(2);
        transcript << line;
        const auto word = QRegularExpression(u"^(\\w*)(.*)$"_s).match(line);
        return {word.captured(1).toLower(), word.captured(2).trimmed()};
    }

    void fromClient(const QString &mes)
    {
        const auto [word, args] = receive(mes, toServer);
        if (word == u"testport"_s)
            startServer(args);
        else if (word == u"porttesting"_s && server)
            server->onControlMessage(u"porttesting "_s + args);
    }

    void fromServer(const QString &mes)
    {
        const auto [word, args] = receive(mes, toClient);
        if (word == u"porttesting"_s)
            m_client.onControlMessage(u"porttesting "_s + args);
    }

    void startServer(const QString &args)
    {
        const auto request = QRegularExpression(u"(in|out)*\\s*(udp|tcp)\\s+(\\d+)\\s*(\\d*)"_s,
                                                QRegularExpression::CaseInsensitiveOption)
                                 .match(args);
        QVERIFY(request.hasMatch());
        const QString direction = request.captured(1).toLower();
        server = std::make_unique<PortTest>(
            request.captured(3).toUShort(),
            request.captured(2).toLower() == u"tcp"_s ? PortTest::Tcp : PortTest::Udp,
            direction.isEmpty() || direction == u"in"_s ? PortTest::In : PortTest::Out,
            request.captured(4).isEmpty() ? 5000 : request.captured(4).toInt(), QString());
        server->setPeerAddress(u"127.0.0.1"_s);
        serverRecorder = std::make_unique<Recorder>(*server);
        connect(server.get(), &PortTest::sendToPeer, this, &ControlLink::fromServer,
                Qt::QueuedConnection);
        server->handleTest(true);
    }

    PortTest &m_client;
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
    void timeoutEndsIdleTest();
    void serverTcpIn_data();
    void serverTcpIn();
    void serverTcpOut();
    void serverUdpIn_data();
    void serverUdpIn();
    void serverUdpOut_data();
    void serverUdpOut();
    void pairedKinds_data();
    void pairedKinds();
    void setupFailures();
    void outToClosedPort();
    void serverReports_data();
    void serverReports();
    void clientReports_data();
    void clientReports();
    void clientOutWaitsForGoLine();
    void finishOnce();
    void successAgainstTimeout_data();
    void successAgainstTimeout();
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
    const quint16 port = freeTcpPort();
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
        const quint16 otherPort = freeTcpPort();
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
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 3, patience);
    QCOMPARE(recorder.events.at(2), u"done(true)"_s);
}

void TstPortTest::timeoutEndsIdleTest()
{
    const quint16 port = freeTcpPort();
    PortTest test(port, PortTest::Tcp, PortTest::In, 0, QString());
    Recorder recorder(test);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(test.handleTest(true));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 3, patience);
    QVERIFY2(clock.elapsed() >= 90, "a limit of 0 is raised to 100 ms");
    const QStringList expected{withPorts(u"porttesting in tcp %1"_s, port), u"done(false)"_s,
                               withPorts(u"porttesting in tcp %1 timeout"_s, port)};
    QCOMPARE(recorder.events, expected);
    QVERIFY(test.isFinished() && test.isTimedOut() && !test.isSuccess());
}

void TstPortTest::serverTcpIn_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QString>("log");
    QTest::addRow("expected peer")
        << u"127.0.0.1"_s
        << u"PortTest::onTcpConnection() - got connection request from expected peer 127.0.0.1"_s;
    QTest::addRow("other address")
        << u"192.0.2.7"_s
        << u"PortTest::onTcpConnection() - got a connection request from 127.0.0.1"_s;
}

void TstPortTest::serverTcpIn()
{
    QFETCH(QString, peer);
    QFETCH(QString, log);
    const quint16 port = freeTcpPort();
    PortTest test(port, PortTest::Tcp, PortTest::In, longLimit, QString());
    test.setPeerAddress(peer);
    Recorder recorder(test);
    QVERIFY(test.handleTest(true));
    QCOMPARE(recorder.events, QStringList{withPorts(u"porttesting in tcp %1"_s, port)});

    QTest::ignoreMessage(QtDebugMsg, qPrintable(log));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 3, patience);
    QCOMPARE(
        recorder.events.mid(1),
        (QStringList{withPorts(u"porttesting in tcp %1 success\r\n"_s, port), u"done(true)"_s}));
    QVERIFY(test.isFinished() && test.isSuccess() && !test.isTimedOut());
    QTcpServer again;
    QVERIFY2(again.listen(QHostAddress::AnyIPv4, port), "the listener is gone with the test");
}

void TstPortTest::serverTcpOut()
{
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
    const quint16 port = listener.serverPort();
    PortTest test(port, PortTest::Tcp, PortTest::Out, longLimit, QString()); // peer left default
    Recorder recorder(test);
    QVERIFY(test.handleTest(true));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 3, patience);
    const QStringList expected{withPorts(u"porttesting out tcp %1"_s, port),
                               withPorts(u"porttesting out tcp %1 success\r\n"_s, port),
                               u"done(true)"_s};
    QCOMPARE(recorder.events, expected);
    QVERIFY(listener.hasPendingConnections());
}

void TstPortTest::serverUdpIn_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("isPing");
    QTest::addRow("ping") << QByteArray("PortTestPing") << true;
    QTest::addRow("ping inside other bytes") << QByteArray("xx\0PortTestPing--", 17) << true;
    QTest::addRow("last letter missing") << QByteArray("PortTestPin") << false;
    QTest::addRow("lower case") << QByteArray("porttestping") << false;
    QTest::addRow("upper case") << QByteArray("PORTTESTPING") << false;
    QTest::addRow("empty") << QByteArray() << false;
}

void TstPortTest::serverUdpIn()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, isPing);
    const quint16 port = freeUdpPort();
    PortTest test(port, PortTest::Udp, PortTest::In, isPing ? longLimit : 500, QString());
    Recorder recorder(test);
    QVERIFY(test.handleTest(true));
    QCOMPARE(recorder.events, QStringList{withPorts(u"porttesting in udp %1"_s, port)});

    QUdpSocket peer;
    QCOMPARE(peer.writeDatagram(datagram, QHostAddress::LocalHost, port), datagram.size());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 3, patience);
    const QStringList ended =
        isPing
            ? QStringList{withPorts(u"porttesting in udp %1 success\r\n"_s, port), u"done(true)"_s}
            : QStringList{u"done(false)"_s, withPorts(u"porttesting in udp %1 timeout"_s, port)};
    QCOMPARE(recorder.events.mid(1), ended);
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
    QTRY_VERIFY_WITH_TIMEOUT(drainDatagrams(client, pings) >= 3, patience);
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

void TstPortTest::pairedKinds_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<int>("direction");
    QTest::addColumn<QStringList>("clientLines");  // client to server, exactly
    QTest::addColumn<QStringList>("serverLines");  // server to client: at least these
    QTest::addColumn<QString>("serverOwnSuccess"); // may follow, depending on who saw it first

    QTest::addRow("tcp in") << int(PortTest::Tcp) << int(PortTest::In)
                            << QStringList{u"testport out tcp %1 7000"_s,
                                           u"porttesting in tcp %1 success"_s}
                            << QStringList{u"porttesting out tcp %1"_s}
                            << u"porttesting out tcp %1 success"_s;
    QTest::addRow("tcp out") << int(PortTest::Tcp) << int(PortTest::Out)
                             << QStringList{u"testport in tcp %1 7000"_s,
                                            u"porttesting out tcp %1 success"_s}
                             << QStringList{u"porttesting in tcp %1"_s}
                             << u"porttesting in tcp %1 success"_s;
    QTest::addRow("udp in") << int(PortTest::Udp) << int(PortTest::In)
                            << QStringList{u"testport out udp %1 7000"_s,
                                           u"porttesting in udp %1 success"_s}
                            << QStringList{u"porttesting out udp %1"_s} << QString();
    QTest::addRow("udp out") << int(PortTest::Udp) << int(PortTest::Out)
                             << QStringList{u"testport in udp %1 7000"_s}
                             << QStringList{u"porttesting in udp %1"_s,
                                            u"porttesting in udp %1 success"_s}
                             << QString();
}

void TstPortTest::pairedKinds()
{
    QFETCH(int, protocol);
    QFETCH(int, direction);
    QFETCH(QStringList, clientLines);
    QFETCH(QStringList, serverLines);
    QFETCH(QString, serverOwnSuccess);
    const quint16 port = protocol == PortTest::Tcp ? freeTcpPort() : freeUdpPort();
    PortTest client(port, protocol, direction, 7000, QString());
    Recorder clientRecorder(client);
    ControlLink link(client);
    QVERIFY(client.handleTest(false));

    QTRY_VERIFY_WITH_TIMEOUT(clientRecorder.doneCount() == 1 && link.serverRecorder &&
                                 link.serverRecorder->doneCount() == 1,
                             patience);
    QTest::qWait(quietTime); // anything still queued arrives; nothing may end a test twice
    QCOMPARE(clientRecorder.events.last(), u"done(true)"_s);
    QCOMPARE(clientRecorder.doneCount(), 1);
    QCOMPARE(link.serverRecorder->events.last(), u"done(true)"_s);
    QCOMPARE(link.serverRecorder->doneCount(), 1);
    QVERIFY(client.isSuccess() && link.server->isSuccess());

    for (QString &line : clientLines)
        line = withPorts(line, port);
    for (QString &line : serverLines)
        line = withPorts(line, port);
    QCOMPARE(link.toServer, clientLines);
    if (link.toClient.size() > serverLines.size() && !serverOwnSuccess.isEmpty())
        serverLines << withPorts(serverOwnSuccess, port);
    QCOMPARE(link.toClient, serverLines);
}

void TstPortTest::setupFailures()
{
    {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::AnyIPv4, 0));
        const quint16 port = holder.serverPort();
        PortTest test(port, PortTest::Tcp, PortTest::In, 200, QString());
        Recorder recorder(test);
        QTest::ignoreMessage(
            QtDebugMsg,
            QRegularExpression(withPorts(
                u"^PortTest::setupTCPTest\\(\\) - listening on port %1 failed! Error: .+"_s,
                port)));
        QVERIFY(!test.handleTest(true));
        QVERIFY(!test.errorString().isEmpty());
        QCOMPARE(recorder.events, QStringList{withPorts(u"porttesting in tcp %1 failure"_s, port)});
        QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 3, patience);
        QCOMPARE(
            recorder.events.mid(1),
            (QStringList{u"done(false)"_s, withPorts(u"porttesting in tcp %1 timeout"_s, port)}));
    }
    {
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::AnyIPv4, 0, QUdpSocket::DontShareAddress));
        const quint16 port = holder.localPort();
        PortTest test(port, PortTest::Udp, PortTest::In, 200, QString());
        Recorder recorder(test);
        QTest::ignoreMessage(
            QtDebugMsg, qPrintable(withPorts(
                            u"PortTest::setupUDPTest() - Could not bind to UDP-Port %1"_s, port)));
        QVERIFY(!test.handleTest(true));
        QCOMPARE(recorder.events, QStringList{withPorts(u"porttesting in udp %1 failure"_s, port)});
        QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 3, patience);
        QCOMPARE(
            recorder.events.mid(1),
            (QStringList{u"done(false)"_s, withPorts(u"porttesting in udp %1 timeout"_s, port)}));
    }
}

void TstPortTest::outToClosedPort()
{
    const quint16 port = freeTcpPort();
    PortTest test(port, PortTest::Tcp, PortTest::Out, 200, QString());
    Recorder recorder(test);
    QVERIFY(test.handleTest(true));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 3, patience);
    const QStringList expected{withPorts(u"porttesting out tcp %1"_s, port), u"done(false)"_s,
                               withPorts(u"porttesting out tcp %1 timeout"_s, port)};
    QCOMPARE(recorder.events, expected);
}

void TstPortTest::serverReports_data()
{
    QTest::addColumn<QString>("line"); // %1 is the test's port, %2 another one
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("log");
    const QString mismatch = u"ServerSide - PortTest::onControlMessage() port or protocol do not "
                             u"match currently scheduled test!"_s;
    const QString invalid = u"PortTest::onControlMessage got invalid commandline: "_s;
    QTest::addRow("success") << u"porttesting in udp %1 success"_s << u"success"_s << QString();
    QTest::addRow("other direction")
        << u"porttesting out udp %1 success"_s << u"success"_s << QString();
    QTest::addRow("upper case") << u"PORTTESTING IN UDP %1 SUCCESS"_s << u"success"_s << QString();
    QTest::addRow("text around") << u"say porttesting in udp %1 success now"_s << u"success"_s
                                 << QString();
    QTest::addRow("no blank before status")
        << u"porttesting in udp %1success"_s << u"success"_s << QString();
    QTest::addRow("failure") << u"porttesting in udp %1 failure"_s << u"failure"_s << QString();
    QTest::addRow("timeout") << u"porttesting in udp %1 timeout"_s << u"none"_s << QString();
    QTest::addRow("no status") << u"porttesting in udp %1"_s << u"none"_s << QString();
    QTest::addRow("two blanks") << u"porttesting in udp %1  success"_s << u"none"_s << QString();
    QTest::addRow("other protocol") << u"porttesting in tcp %1 success"_s << u"none"_s << mismatch;
    QTest::addRow("other port") << u"porttesting in udp %2 success"_s << u"none"_s << mismatch;
    QTest::addRow("eleven digits")
        << u"porttesting in udp 12345678901 success"_s << u"none"_s << mismatch;
    QTest::addRow("sideways") << u"porttesting sideways udp %1 success"_s << u"none"_s
                              << invalid + u"porttesting sideways udp %1 success"_s;
    QTest::addRow("keyword only") << u"porttesting"_s << u"none"_s << invalid + u"porttesting"_s;
}

void TstPortTest::serverReports()
{
    QFETCH(QString, line);
    QFETCH(QString, outcome);
    QFETCH(QString, log);
    const quint16 port = freeUdpPort();
    const quint16 other = port == 65535 ? port - 1 : port + 1;
    PortTest test(port, PortTest::Udp, PortTest::In, longLimit, QString());
    QVERIFY(test.handleTest(true));
    Recorder recorder(test);
    if (!log.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, qPrintable(withPorts(log, port, other)));

    test.onControlMessage(withPorts(line, port, other));
    const QStringList expected = outcome == u"success"_s   ? QStringList{u"done(true)"_s}
                                 : outcome == u"failure"_s ? QStringList{u"done(false)"_s}
                                                           : QStringList{};
    QCOMPARE(recorder.events, expected);
    QCOMPARE(test.isFinished(), outcome != u"none"_s);
    QCOMPARE(test.isSuccess(), outcome == u"success"_s);
    QVERIFY(!test.isTimedOut());
}

void TstPortTest::clientReports_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("log");
    QTest::addRow("udp success") << u"porttesting in udp 9 success"_s << u"success"_s << QString();
    QTest::addRow("tcp success") << u"porttesting in tcp 9 success"_s << u"none"_s << QString();
    QTest::addRow("timeout") << u"porttesting in udp 9 timeout"_s << u"timeout"_s << QString();
    QTest::addRow("failure") << u"porttesting out tcp 9 failure"_s << u"failure"_s << QString();
    QTest::addRow("go line out") << u"porttesting out udp 9"_s << u"none"_s << QString();
    QTest::addRow("tcp go line, no socket")
        << u"porttesting in tcp 9"_s << u"none"_s << u"Error: m_tcp_socket == NULL !!!"_s;
    QTest::addRow("invalid") << u"porttesting in ftp 9"_s << u"none"_s
                             << u"PortTest::onControlMessage got invalid commandline: "
                                u"porttesting in ftp 9"_s;
}

void TstPortTest::clientReports()
{
    QFETCH(QString, line);
    QFETCH(QString, outcome);
    QFETCH(QString, log);
    PortTest test(freeUdpPort(), PortTest::Udp, PortTest::Out, longLimit, QString());
    QVERIFY(test.handleTest(false));
    Recorder recorder(test);
    if (!log.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, qPrintable(log));
    test.onControlMessage(line);
    const QStringList expected = outcome == u"success"_s ? QStringList{u"done(true)"_s}
                                 : outcome == u"none"_s  ? QStringList{}
                                                         : QStringList{u"done(false)"_s};
    QCOMPARE(recorder.events, expected);
    QCOMPARE(test.isTimedOut(), outcome == u"timeout"_s);
    // Once ended, no report ends it again.
    test.onControlMessage(u"porttesting in udp 9 failure"_s);
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
        QTRY_VERIFY_WITH_TIMEOUT(drainDatagrams(server, pings) >= 2, patience);
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
        QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 3, patience);
        QCOMPARE(recorder.events.mid(1),
                 (QStringList{withPorts(u"porttesting out tcp %1 success\r\n"_s, port),
                              u"done(true)"_s}));
        QVERIFY(server.hasPendingConnections());
    }
}

void TstPortTest::finishOnce()
{
    const QString alreadyFinished =
        u"PortTest::onTimeoutReached() - already finished not triggering twice"_s;
    {
        // Two connections waiting together: one success, the second goes with the listener.
        const quint16 port = freeTcpPort();
        PortTest test(port, PortTest::Tcp, PortTest::In, longLimit, QString());
        Recorder recorder(test);
        QVERIFY(test.handleTest(true));
        QTcpSocket first;
        QTcpSocket second;
        first.connectToHost(QHostAddress::LocalHost, port);
        second.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(first.waitForConnected(patience) && second.waitForConnected(patience));
        QTRY_COMPARE_WITH_TIMEOUT(recorder.doneCount(), 1, patience);
        QTest::qWait(quietTime);
        QCOMPARE(recorder.events.size(), 3);

        // A timeout arriving after the success changes nothing.
        QTest::ignoreMessage(QtDebugMsg, qPrintable(alreadyFinished));
        QVERIFY(QMetaObject::invokeMethod(&test, "onTimeoutReached"));
        QCOMPARE(recorder.events.size(), 3);
    }
    {
        // Three pings waiting together: one success.
        const quint16 port = freeUdpPort();
        PortTest test(port, PortTest::Udp, PortTest::In, longLimit, QString());
        Recorder recorder(test);
        QVERIFY(test.handleTest(true));
        QUdpSocket peer;
        for (int i = 0; i < 3; ++i)
            peer.writeDatagram("PortTestPing", QHostAddress::LocalHost, port);
        QTRY_COMPARE_WITH_TIMEOUT(recorder.doneCount(), 1, patience);
        QTest::qWait(quietTime);
        QCOMPARE(recorder.events.size(), 3);
    }
    {
        // Abort with the timeout already pending: quiet, once, and the port is free at once.
        const quint16 port = freeTcpPort();
        PortTest test(port, PortTest::Tcp, PortTest::In, 100, QString());
        Recorder recorder(test);
        QVERIFY(test.handleTest(true));
        QVERIFY(QMetaObject::invokeMethod(&test, "onTimeoutReached", Qt::QueuedConnection));
        test.onAbortTest();
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::AnyIPv4, port));
        test.onAbortTest();
        test.onFailure();
        QTest::ignoreMessage(QtDebugMsg, qPrintable(alreadyFinished));
        QTest::qWait(quietTime);
        QCOMPARE(recorder.events.size(), 1);
        QVERIFY(test.isFinished() && !test.isSuccess() && !test.isTimedOut());
    }
    {
        // A report after the test timed out.
        const quint16 port = freeTcpPort();
        PortTest test(port, PortTest::Tcp, PortTest::In, 100, QString());
        Recorder recorder(test);
        QVERIFY(test.handleTest(true));
        QTRY_COMPARE_WITH_TIMEOUT(recorder.doneCount(), 1, patience);
        test.onControlMessage(withPorts(u"porttesting in tcp %1 success"_s, port));
        test.onControlMessage(withPorts(u"porttesting in tcp %1 failure"_s, port));
        QCOMPARE(recorder.events.size(), 3);
        QVERIFY(test.isTimedOut() && !test.isSuccess());
    }
}

void TstPortTest::successAgainstTimeout_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addRow("tcp connection") << int(PortTest::Tcp);
    QTest::addRow("udp ping") << int(PortTest::Udp);
}

void TstPortTest::successAgainstTimeout()
{
    QFETCH(int, protocol);
    const quint16 port = protocol == PortTest::Tcp ? freeTcpPort() : freeUdpPort();
    PortTest test(port, protocol, PortTest::In, 100, QString());
    Recorder recorder(test);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(test.handleTest(true));
    QTcpSocket tcpPeer;
    QUdpSocket udpPeer;
    if (protocol == PortTest::Tcp) {
        tcpPeer.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(tcpPeer.waitForConnected(patience));
    } else {
        udpPeer.writeDatagram("PortTestPing", QHostAddress::LocalHost, port);
    }
    holdLoopUntil(clock, 300);

    QTRY_COMPARE_WITH_TIMEOUT(recorder.doneCount(), 1, patience);
    QTest::qWait(quietTime);
    const QString kind = protocol == PortTest::Tcp ? u"tcp"_s : u"udp"_s;
    const QString go = withPorts(u"porttesting in "_s + kind + u" %1"_s, port);
    const QStringList succeeded{
        go, withPorts(u"porttesting in "_s + kind + u" %1 success\r\n"_s, port), u"done(true)"_s};
    const QStringList timedOut{go, u"done(false)"_s,
                               withPorts(u"porttesting in "_s + kind + u" %1 timeout"_s, port)};
    QVERIFY2(recorder.events == succeeded || recorder.events == timedOut,
             qPrintable(recorder.events.join(u" | "_s)));
    QCOMPARE(test.isTimedOut(), recorder.events == timedOut);
}

void TstPortTest::timeoutDoesNotReenter()
{
    // The timeout slot must not run the thread's pending events itself: a call queued before it
    // runs only after it has returned.
    const quint16 port = freeTcpPort();
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
    QTRY_VERIFY_WITH_TIMEOUT(queuedRan, patience);
}

QTEST_GUILESS_MAIN(TstPortTest)
#include "tst_porttest.moc"
