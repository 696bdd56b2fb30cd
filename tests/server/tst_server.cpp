#include "metrics/metricsregistry.h"
#include "metrics/testermetrics.h"
#include "net/descriptorbudget.h"
#include "net/portreservation.h"
#include "net/serverlimits.h"
#include "net/tcplistener.h"
#include "server/porttesterserver.h"
#include "tests/common/testhelpers.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <algorithm>
#include <memory>

using namespace vxtest;

namespace {
const QByteArray kIp = "Public IP 127.0.0.1\r\n";
// The system log's entries, as the debug log copies them.
const QByteArray kEstablished =
    "[LOGGED Success] \\n\\nPortTesterServer: client-connection established from ";
const QByteArray kClosed = "[LOGGED Success] PortTesterServer: client-connection closed\n";
// Built with AddressSanitizer (and so the tester beside it): its allocator holds freed memory in
// quarantine, so resident memory says nothing about leaks; LeakSanitizer checks them instead.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The diagnostics of in-process servers (any thread); what the tests measured is shown.
QMutex s_mutex;
QStringList s_messages;
QtMessageHandler s_shown = nullptr;
void collect(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtInfoMsg)
        return s_shown(type, context, message);
    QMutexLocker locker(&s_mutex);
    s_messages.append(message);
}
qsizetype messages(const QString &text)
{
    QMutexLocker locker(&s_mutex);
    return s_messages.filter(text).size();
}

// The kernel's table of TCP sockets matched for a local port (%1 in the pattern, in hex).
QRegularExpressionMatch inTcpTable(const QString &pattern, quint16 port)
{
    const QString local = QString::number(port, 16).toUpper().rightJustified(4, u'0');
    return QRegularExpression(pattern.arg(local))
        .match(QString::fromLatin1(readFile(u"/proc/net/tcp"_s) + readFile(u"/proc/net/tcp6"_s)));
}

// Whether the tester has read all that its clients sent: in the kernel's table of connections
// (local address, remote address, state 01 established, queues) none to it holds unread bytes.
bool allRead(quint16 port)
{
    return !inTcpTable(u":%1 \\S+ 01 [0-9A-F]+:0*[1-9A-F]"_s, port).hasMatch();
}

// Connections waiting to be accepted on the listener of the port (-1: none found).
qint64 acceptQueue(quint16 port)
{
    const auto match = inTcpTable(u":%1 0+:0000 0A [0-9A-F]+:([0-9A-F]+)"_s, port);
    return match.hasMatch() ? match.captured(1).toLongLong(nullptr, 16) : -1;
}

// The first line of the reply to a request sent from a loopback address of one's choice.
QByteArray firstReplyFrom(quint16 port, const char *from, const QByteArray &request)
{
    QTcpSocket socket;
    if (!socket.bind(QHostAddress(QLatin1StringView(from))))
        return "<no bind>";
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(kPatience))
        return "<no connection>";
    socket.write(request);
    QByteArray reply;
    while (!reply.contains('\n') && socket.waitForReadyRead(kPatience))
        reply += socket.readAll();
    return reply.left(reply.indexOf('\n') + 1);
}

// In the tester's child process: IPv6 sockets are refused as by a kernel without IPv6. Only the
// process's own native calls are filtered, so the architecture is not checked.
void withoutIpv6()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET6, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAFNOSUPPORT),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{sizeof(filter) / sizeof(filter[0]), filter};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        ::_exit(127);
}
// A control server in this process, with what the application would hand it.
struct InProcess
{
    InProcess(const ServerLimits &limits, const QHostAddress &address)
        : server(limits, reservation, budget, metrics,
                 [this](const QString &event) { events.append(event); })
    {
        server.serve(TcpListener::open(address, 0, PortTesterServer::ListenBacklog));
        budget.measureBase();
    }
    PortReservation reservation;
    DescriptorBudget budget;
    MetricsRegistry registry;
    TesterMetrics metrics{registry, "test"};
    QStringList events;
    PortTesterServer server;
};
} // namespace

class TestServer : public QObject
{
    Q_OBJECT

private:
    Tester m_tester; // shared by the tests that look at nothing but their own connections

private Q_SLOTS:
    void initTestCase()
    {
        s_shown = qInstallMessageHandler(collect);
        if (qEnvironmentVariableIsEmpty("VX_TESTER"))
            QSKIP("VX_TESTER is not set (run under ctest)");
        QVERIFY(m_tester.startServing());
    }

    // What comes back for the bytes sent; %1 is a free port.
    void lines_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QByteArray>("replies");
        QTest::addColumn<QString>("host"); // connected to
        const auto row = [](const char *name, const char *sent, const QByteArray &replies,
                            const QString &host = u"127.0.0.1"_s) {
            QTest::addRow("%s", name) << QByteArray(sent) << replies << host;
        };
        row("capitals, CR LF", "GETPUBLICIP\r\n", kIp);
        row("bare LF", "getpublicip\n", kIp);
        row("over ::1", "getpublicip\n", "Public IP ::1\r\n", u"::1"_s);
        row("over IPv4-mapped IPv6", "getpublicip\n", kIp, u"::ffff:127.0.0.1"_s);
        row("ignored argument", "getpublicip now\r\n", kIp);
        row("two lines, one segment", "getpublicip\r\nGetPublicIp\n", kIp + kIp);
        row("blank before the word", " getpublicip\r\n", {});
        row("empty lines", "\n\r\n", {});
        row("testport", "testport Out UDP %1 60000\r\n", "porttesting out udp %1\r\n");
        row("testport refused", "testport tcp 70000\r\n", {});
    }

    void lines()
    {
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, replies);
        QFETCH(QString, host);
        if (host.contains(u':') && !hasIpv6Loopback())
            QSKIP("no IPv6 loopback here");
        const quint16 port = freePort();
        const qint64 mark = m_tester.mark();
        Client client;
        QVERIFY(client.connectTo(m_tester.port(), QHostAddress(host)));
        client.send(withPort(sent, port));
        QVERIFY(QTest::qWaitFor([&] { return client.data().size() >= replies.size(); }, kPatience));
        QCOMPARE(std::exchange(client.data(), {}), withPort(replies, port));
        QCOMPARE(client.linesBeforeBarrier(), QByteArray());
        const QByteArray shown = host == u"::1"_s ? "::1" : "127.0.0.1"; // IPv4-mapped: dotted
        QVERIFY(m_tester.waitForLog(kEstablished + shown + " sock_id = ", mark));
    }

    void framing()
    {
        // A line in pieces, each read on its own, is answered once its LF is there.
        Client client(m_tester.port());
        for (const char *piece : {"getpub", "licip"}) {
            client.send(piece);
            QVERIFY(QTest::qWaitFor([&] { return allRead(m_tester.port()); }, kPatience));
        }
        QVERIFY(client.data().isEmpty());
        client.send("\r\n");
        QCOMPARE(client.takeLine(), kIp);

        // A long line that fits is served, and logged cut short: a client must not fill the disk.
        client.send("getpublicip" + QByteArray(60000, ' ') + "\r\n");
        QCOMPARE(client.takeLine(), kIp);
        QVERIFY(
            m_tester.waitForLog("--> getpublicip" + QByteArray(189, ' ') + " ... (60011 bytes)\n"));

        // More than 64 KiB without a line feed: disconnected; others are still served.
        Client flood;
        QVERIFY(flood.connectTo(m_tester.port()));
        flood.send(QByteArray(70000, 'x'));
        QVERIFY(flood.waitForClosed());
        QCOMPARE(client.linesBeforeBarrier(), QByteArray());
    }

    void portTestingLines()
    {
        // A connection queues 101 tests at most: each report ends one and the next one starts,
        // the 102nd never does. With no test running a report is dropped; a blank before the
        // word makes it unknown, and it ends no test; letter case and blanks are rebuilt.
        const quint16 port = freePort();
        const QByteArray go = withPort("porttesting in tcp %1\r\n", port);
        const QByteArray report = withPort("porttesting in tcp %1 success\r\n", port);
        Client client(m_tester.port());
        client.send(report + withPort("testport in tcp %1 60000\r\n", port).repeated(102));
        QCOMPARE(client.takeLine(true), go);
        client.send(' ' + report);
        QCOMPARE(client.linesBeforeBarrier(), QByteArray());
        client.send(withPort("PORTTESTING    in tcp %1 success   \r\n", port));
        for (int i = 1; i < 101; ++i) {
            QCOMPARE(client.takeLine(true), go);
            client.send(report);
        }
        QCOMPARE(client.linesBeforeBarrier(), QByteArray());
    }

    // No client writes the log: each control character (the bytes of U+2028 too) sent through
    // every command, a running test's reports included, gives one line per event, each line
    // the log's own, and no byte that ends or steers a line.
    void noForgedLogLines()
    {
        const quint16 port = freePort();
        Client client(m_tester.port());
        client.send(withPort("testport in tcp %1 60000\r\n", port));
        QCOMPARE(client.takeLine(true), withPort("porttesting in tcp %1\r\n", port));
        const qint64 mark = m_tester.mark();
        QByteArray controls = "\xc2\x85\xe2\x80\xa8\xe2\x80\xa9\x7f\x85\x9b";
        for (char c = 0; c < 0x20; ++c) {
            if (c != '\n')
                controls += c;
        }
        const QByteArray forged = "12:00:00.000 [1] DEBUG: forged";
        const QList<QByteArray> commands = {"getpublicip", "testport tcp", "bogus",
                                            withPort("porttesting in tcp %1", port),
                                            withPort("porttesting in tcp %1 success", port)};
        int sent = 0;
        for (const QByteArray &command : commands) {
            for (const char c : controls) {
                client.send(command + c + forged + '\n');
                ++sent;
            }
        }
        client.linesBeforeBarrier();
        QVERIFY(m_tester.waitForLog("--> getpublicip\n", mark));
        const QByteArray log = m_tester.logSince(mark);
        const QRegularExpression own(u"^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[\\d+\\] "_s);
        int events = 0;
        int reports = 0;
        for (const QByteArray &line : log.split('\n')) {
            if (line.isEmpty())
                continue;
            QVERIFY2(own.match(QString::fromLatin1(line)).hasMatch(), line.constData());
            QVERIFY2(std::none_of(line.cbegin(), line.cend(),
                                  [](char c) {
                                      return uchar(c) < 0x20 ||
                                             (uchar(c) >= 0x7f && uchar(c) < 0xa0);
                                  }),
                     line.constData());
            events += line.contains("DEBUG: --> ") && line.contains("forged") ? 1 : 0;
            reports +=
                line.contains("onControlMessage got invalid commandline: porttesting") ? 1 : 0;
        }
        QCOMPARE(events, sent);
        // Nothing may follow a report: none of them was taken as one.
        QCOMPARE(reports, 2 * controls.size());
        QVERIFY(!log.contains(QByteArray("\n" + forged)));
    }

    // A peer's "in" test over IPv4 or IPv6: a test of an IPv4 client listens and binds on IPv4
    // alone; one of an IPv6 client on both families. (Tests over ::1 in every direction run in
    // tst_client, through the real tool.)
    void families_data()
    {
        QTest::addColumn<QString>("client"); // the control connection's address
        QTest::addColumn<QByteArray>("kind");
        QTest::addColumn<QString>("peer"); // connects or sends there
        QTest::addColumn<bool>("success"); // or timeout
        for (const char *kind : {"in tcp", "in udp"}) {
            QTest::addRow("IPv4 client, %s over IPv6", kind)
                << u"127.0.0.1"_s << QByteArray(kind) << u"::1"_s << false;
            QTest::addRow("IPv6 client, %s from 127.0.0.1", kind)
                << u"::1"_s << QByteArray(kind) << u"127.0.0.1"_s << true;
        }
    }

    void families()
    {
        QFETCH(QString, client);
        QFETCH(QByteArray, kind);
        QFETCH(QString, peer);
        QFETCH(bool, success);
        if (!hasIpv6Loopback())
            QSKIP("no IPv6 loopback here");
        const QHostAddress at(peer);
        QUdpSocket udp;
        QTcpSocket connection;
        const quint16 port = freePort();
        Client control;
        QVERIFY(control.connectTo(m_tester.port(), QHostAddress(client)));
        control.send(
            withPort("testport " + kind + (success ? " %1 60000\r\n" : " %1 500\r\n"), port));
        const QByteArray go = withPort("porttesting " + kind + " %1", port);
        QCOMPARE(control.takeLine(), go + "\r\n");
        if (kind.endsWith("tcp"))
            connection.connectToHost(at, port);
        else
            QCOMPARE(udp.writeDatagram("PortTestPing", at, port), 12);
        QCOMPARE(control.takeLine(), go + (success ? " success\r\n" : " timeout\r\n"));
    }

    void reservationAcrossConnections_data()
    {
        QTest::addColumn<QByteArray>("protocol");
        QTest::addColumn<bool>("close"); // the first connection closes instead of reporting
        QTest::addRow("tcp then tcp") << QByteArray("tcp") << false;
        QTest::addRow("tcp then udp") << QByteArray("udp") << false;
        QTest::addRow("tcp then tcp, first closes") << QByteArray("tcp") << true;
    }

    // A port held by one connection's test: another connection's test on it is passed over,
    // keeping its place, while its tests on free ports run. It starts once the first test ends
    // by its report, or at once when the first connection closes, long before its limit; the
    // closed connection's queued tests never start (each would connect to its port at once).
    void reservationAcrossConnections()
    {
        QFETCH(QByteArray, protocol);
        QFETCH(bool, close);
        Tester own; // the only connection closing in its log is the one closed here
        QVERIFY(!close || own.startServing());
        Tester &tester = close ? own : m_tester;
        const quint16 held = freePort();
        QTcpServer queued[3];
        const QList<quint16> free{freePort(), freePort()};
        const qint64 mark = tester.mark();
        Client first(tester.port());
        QByteArray requests = withPort("testport in tcp %1 600000\r\n", held);
        for (QTcpServer &target : queued) {
            QVERIFY(target.listen(QHostAddress::LocalHost));
            requests += withPort("testport out tcp %1 600000\r\n", target.serverPort());
        }
        first.send(requests);
        QCOMPARE(first.takeLine(), withPort("porttesting in tcp %1\r\n", held));

        Client second(tester.port());
        second.send(withPort("testport in " + protocol + " %1 600000\r\n", held) +
                    withPort("testport in tcp %1 600000\r\n", free[0]) +
                    withPort("testport in tcp %1 600000\r\n", free[1]));
        for (quint16 port : free) {
            QCOMPARE(second.takeLine(), withPort("porttesting in tcp %1\r\n", port));
            second.send(withPort("porttesting in tcp %1 success\r\n", port));
        }
        QCOMPARE(second.linesBeforeBarrier(), QByteArray());
        if (close)
            first.close();
        else
            first.send(withPort("porttesting in tcp %1 success\r\n", held));
        QCOMPARE(second.takeLine(), withPort("porttesting in " + protocol + " %1\r\n", held));
        if (!close) {
            QCOMPARE(first.takeLine(),
                     withPort("porttesting out tcp %1\r\n", queued[0].serverPort()));
            QTRY_VERIFY_WITH_TIMEOUT(queued[0].hasPendingConnections(), kPatience);
            return;
        }
        QVERIFY(tester.waitForLog(kClosed, mark));
        for (QTcpServer &target : queued)
            QVERIFY(!target.hasPendingConnections() && !target.waitForNewConnection(0));
    }

    void heldControlPort_data()
    {
        QTest::addColumn<bool>("ipv6"); // or the host has none
        QTest::addRow("dual stack") << true;
        QTest::addRow("no IPv6") << false;
    }

    // The control port held on IPv4 alone by another program: the dual-stack listen fails too.
    // Without IPv6 the tester says so once (a notice for the operator, in the debug log alone),
    // listens on IPv4 alone, and fails as before.
    void heldControlPort()
    {
        QFETCH(bool, ipv6);
        if (ipv6 && !hasIpv6Loopback())
            QSKIP("no IPv6 here");
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::AnyIPv4, 0));
        const quint16 held = holder.serverPort();
        Tester tester;
        if (!ipv6)
            tester.process().setChildProcessModifier(withoutIpv6);
        QVERIFY(tester.start({u"-e"_s, QString::number(held)}));
        QVERIFY(tester.process().waitForFinished(kPatience));
        QCOMPARE(tester.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(tester.process().exitCode(), 69); // not retried by the unit
        QVERIFY(
            tester.log().contains(withPort("[LOGGED Error] Failed to bind to port %1\n", held)));
        QCOMPARE(tester.log().count("serving IPv4 clients only"), ipv6 ? 0 : 1);
        if (ipv6)
            return;
        // On a free port it serves IPv4 clients, on IPv4 alone.
        Tester served;
        served.process().setChildProcessModifier(withoutIpv6);
        QVERIFY(served.startServing());
        QCOMPARE(Client(served.port()).linesBeforeBarrier(), QByteArray());
        QVERIFY(!Client().connectTo(served.port(), QHostAddress(QHostAddress::LocalHostIPv6)));
        QCOMPARE(served.log().count("serving IPv4 clients only"), 1);
    }

    void backToBackTests()
    {
        const quint16 port = freePort();
        Client client(m_tester.port());

        // Tests on one port run one after the other. The next starts as the previous one ends, not
        // on a 10 ms tick, and every line leaves at once: polling would take three seconds at
        // least.
        constexpr int kTests = 300;
        const QByteArray request = withPort("testport in tcp %1 60000\r\n", port);
        QElapsedTimer timer;
        timer.start();
        int requested = 100;
        client.send(request.repeated(requested));
        for (int i = 0; i < kTests; ++i) {
            QCOMPARE(client.takeLine(true), withPort("porttesting in tcp %1\r\n", port));
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(probe.waitForConnected(kPatience));
            QCOMPARE(client.takeLine(true), withPort("porttesting in tcp %1 success\r\n", port));
            if (requested++ < kTests)
                client.send(request);
        }
        qInfo("%d tests back to back in %lld ms", kTests, timer.elapsed());
        QVERIFY2(timer.elapsed() < kTests * 10, qPrintable(u"%1 ms"_s.arg(timer.elapsed())));
    }

    void clientThatDoesNotRead()
    {
        Tester tester;
        QVERIFY(tester.startServing());
        const qint64 rssBefore = tester.status("VmRSS");
        Client other(tester.port());

        // A client with a small receive buffer that sends requests and never reads the replies.
        const int fd = rawConnect(tester.port(), 4096);
        QVERIFY(fd >= 0);
        const auto closeFd = qScopeGuard([fd] { ::close(fd); });
        const QByteArray request = "getpublicip\n";
        const QByteArray chunk = request.repeated(4096);
        constexpr qint64 kCap = 32 * 1024 * 1024;
        qint64 sent = 0;
        while (sent < kCap) {
            const ssize_t n = ::send(fd, chunk.constData() + sent % chunk.size(),
                                     size_t(chunk.size() - sent % chunk.size()), MSG_NOSIGNAL);
            if (n > 0) {
                sent += n;
                continue;
            }
            QVERIFY2(errno == EAGAIN || errno == EWOULDBLOCK, strerror(errno));
            // Held back: stalled for a whole second means the server has stopped reading.
            pollfd writable{fd, POLLOUT, 0};
            if (::poll(&writable, 1, 1000) == 0)
                break;
        }
        qInfo("the client could send %lld bytes before it was held back", sent);
        QVERIFY2(sent < kCap, "the server kept reading from a client that does not read");
        const qint64 grown = tester.status("VmRSS") - rssBefore;
        QVERIFY2(kSanitized || grown < 16 * 1024, qPrintable(u"RSS grew by %1 KiB"_s.arg(grown)));
        QCOMPARE(other.linesBeforeBarrier(), QByteArray());

        // Reading now gets every reply, whole: nothing was lost while reading was held.
        const QByteArray expected = kIp.repeated(sent / request.size());
        QByteArray received;
        QByteArray buffer(64 * 1024, '\0');
        pollfd readable{fd, POLLIN, 0};
        while (received.size() < expected.size() && ::poll(&readable, 1, kPatience) > 0) {
            const ssize_t n = ::recv(fd, buffer.data(), size_t(buffer.size()), 0);
            if (n <= 0)
                break;
            received += QByteArrayView(buffer.constData(), n);
        }
        QCOMPARE(received.size(), expected.size());
        QVERIFY(received == expected);
    }

    void burstsUnderLowDescriptorLimit()
    {
        // The sanitizers' own checks need descriptors (UBSan's vptr check opens a pipe to probe
        // memory), so in a process without one left they report good objects as broken.
        if (kSanitized)
            QSKIP("descriptor exhaustion is tested in the build without sanitizers");
        Tester tester;
        tester.setDescriptorLimit(96);
        QVERIFY(tester.startServing());

        // Connections, each running a test (idle ones would make room), until one is turned
        // away: it is closed at once, not left hanging. Every served one has room for its test.
        std::vector<std::unique_ptr<Client>> served;
        QSet<quint16> ports;
        for (int i = 0; i < 80; ++i) {
            auto client = std::make_unique<Client>();
            QVERIFY(client->connectTo(tester.port()));
            quint16 port = 0;
            while (port == 0 || ports.contains(port))
                port = freePort();
            ports.insert(port);
            client->send(withPort("testport in udp %1 600000\r\n", port));
            QVERIFY(QTest::qWaitFor(
                [&] { return client->data().endsWith('\n') || client->isClosed(); }, kPatience));
            if (client->isClosed())
                break;
            QCOMPARE(client->takeLine(), withPort("porttesting in udp %1\r\n", port));
            served.push_back(std::move(client));
        }
        qInfo("%zu connections served with 96 descriptors", served.size());
        QVERIFY(served.size() >= 5 && served.size() < 80);

        // Bursts far beyond what is left never end the process; served clients are answered
        // throughout, and the refusals leave few lines in the debug log (their only trace).
        QElapsedTimer bursts;
        bursts.start();
        for (int round = 0; round < 30; ++round) {
            Flood burst;
            QCOMPARE(burst.open(tester.port(), 150), 150);
            QCOMPARE(served.back()->linesBeforeBarrier(), QByteArray());
            burst.closeAll();
            QVERIFY2(tester.isRunning(), qPrintable(u"ended in round %1"_s.arg(round)));
        }
        QCOMPARE(served.front()->linesBeforeBarrier(), QByteArray());
        QVERIFY(tester.log().count("no descriptors to spare") <= 2 + bursts.elapsed() / 10000);

        // Closing connections frees their room: new clients are served again. The bursts' last
        // connections may still be taken from the accept queue and closed: counted from when
        // the log has gone quiet.
        qsizetype closed = tester.log().count(kClosed);
        const auto quiet = [&] {
            const qsizetype before = closed;
            QTest::qWait(500);
            closed = tester.log().count(kClosed);
            return closed == before;
        };
        QTRY_VERIFY_WITH_TIMEOUT(quiet(), kPatience);
        for (size_t i = 0; i < served.size() / 2; ++i)
            served[i]->close();
        QTRY_COMPARE_WITH_TIMEOUT(tester.log().count(kClosed),
                                  closed + qsizetype(served.size() / 2), kPatience);
        Client fresh(tester.port());
        QCOMPARE(fresh.linesBeforeBarrier(), QByteArray());
    }

    // Thousands of idle control connections from a hundred addresses (under the per-address
    // limit) shut neither door: the control door closes the idlest to serve a newcomer, and the
    // web door keeps its floor of the descriptors.
    void idleCrowdShutsNoDoor()
    {
        if (kSanitized)
            QSKIP("descriptor exhaustion is tested in the build without sanitizers");
        rlimit own{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &own), 0);
        if (own.rlim_max < 4096)
            QSKIP("this process may not open 4096 descriptors");
        const rlimit raised{own.rlim_max, own.rlim_max};
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &raised), 0);
        const auto restore = qScopeGuard([own] { ::setrlimit(RLIMIT_NOFILE, &own); });
        const quint16 httpPort = freePort();
        Tester tester({u"VX_HTTP_PORT="_s + QString::number(httpPort),
                       u"VX_MAX_CONNECTIONS_PER_ADDRESS=64"_s});
        tester.setDescriptorLimit(1024);
        QVERIFY(tester.startServing());

        std::vector<int> crowd;
        const auto closeCrowd = qScopeGuard([&] {
            for (int fd : crowd)
                ::close(fd);
        });
        for (int i = 0; i < 3000; ++i) {
            const int fd = rawConnect(tester.port(), 0, 0x7f010000 + 1 + i % 100);
            QVERIFY(fd >= 0);
            crowd.push_back(fd);
        }
        // The crowd has been taken in once none of it waits to be accepted any more.
        QVERIFY(QTest::qWaitFor([&] { return acceptQueue(tester.port()) == 0; }, 60000));

        QCOMPARE(firstReplyFrom(tester.port(), "127.9.0.1", "getpublicip\n"),
                 QByteArray("Public IP 127.9.0.1\r\n"));
        const QByteArray web = firstReplyFrom(
            httpPort, "127.9.0.2", "GET /ip HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        QVERIFY2(web.startsWith("HTTP/1.1 200"), web.constData());
        QVERIFY(tester.isRunning());
    }

    // An idle control connection is closed after the idle limit; one running a test is not.
    void idleLimit()
    {
        Tester tester({u"VX_CONTROL_IDLE_TIMEOUT_S=1"_s});
        QVERIFY(tester.startServing());
        Client idle(tester.port());
        Client busy(tester.port());
        const quint16 port = freePort();
        busy.send(withPort("testport in udp %1 5000\r\n", port));
        QCOMPARE(busy.takeLine(), withPort("porttesting in udp %1\r\n", port));
        QVERIFY(idle.waitForClosed());
        QVERIFY(!busy.isClosed());
        QCOMPARE(busy.takeLine(), withPort("porttesting in udp %1 timeout\r\n", port));
        QVERIFY(busy.waitForClosed());
        QVERIFY(tester.log().contains("PortTestHandler: idle for 1 s, closing the connection"));
    }

    // With a rate set, an address's tests beyond it are answered with a "ratelimited" line;
    // another address keeps its own rate.
    void testRate()
    {
        Tester tester({u"VX_CONTROL_TESTS_PER_MINUTE=2"_s});
        QVERIFY(tester.startServing());
        Client client(tester.port());
        const quint16 port = freePort();
        client.send(withPort("testport in udp %1 100\r\n", port).repeated(3));
        QByteArray lines;
        for (int i = 0; i < 5; ++i)
            lines += client.takeLine();
        QCOMPARE(lines.count("ratelimited 30\r\n"), 1);
        QCOMPARE(lines.count(withPort("porttesting in udp %1 timeout\r\n", port)), 2);
        QCOMPARE(firstReplyFrom(tester.port(), "127.0.0.2",
                                withPort("testport in udp %1 100\r\n", port)),
                 withPort("porttesting in udp %1\r\n", port));
    }

    void timeLimits_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("limit");
        QTest::addRow("cut to the maximum") << QByteArray("testport in tcp %1 2147483647") << 1000;
        QTest::addRow("udp, kept") << QByteArray("testport in udp %1 700") << 700;
        QTest::addRow("raised to the floor") << QByteArray("testport in tcp %1 40") << 100;
    }

    void timeLimits()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, limit);
        ServerLimits limits;
        limits.maxTestTimeMs = 1000;
        InProcess served(limits, QHostAddress::AnyIPv4);
        const quint16 port = freePort();
        Client client(served.server.serverPort());
        QCOMPARE(client.linesBeforeBarrier(), QByteArray());
        // Several in a row: a coarse timer ends some of them early. Each one's timeout line
        // leaves before the next one's go line.
        client.send(withPort(request + "\r\n", port).repeated(3));
        const QByteArray go = withPort("porttesting in " + request.mid(12, 3) + " %1", port);
        for (int i = 0; i < 3; ++i) {
            // Blocking reads: the naps of an event-loop wait would skew what is measured.
            QCOMPARE(client.takeLine(true), go + "\r\n");
            QElapsedTimer elapsed;
            elapsed.start();
            QCOMPARE(client.takeLine(true), go + " timeout\r\n");
            // The go line left after the timer started: what is measured here is at most the
            // test's time, give or take delivery.
            QVERIFY2(elapsed.elapsed() >= limit - 10 && elapsed.elapsed() < limit + 5000,
                     qPrintable(QString::number(elapsed.elapsed())));
        }
        // Counted as they end, beside their times.
        const auto protocol = request.contains("udp") ? ControlProtocol::Udp : ControlProtocol::Tcp;
        QTRY_COMPARE_WITH_TIMEOUT(
            served.metrics
                .testsTotal(protocol, ControlProtocol::In, ControlProtocol::Result::Timeout)
                .value(),
            3u, kPatience);
        QCOMPARE(served.metrics.testsRunning().value() + served.metrics.testsQueued().value(), 0);
        QVERIFY(served.metrics.testDurationSeconds(protocol, ControlProtocol::In).snapshot().sum >=
                3 * (limit - 10) / 1000.0);
    }

    // Idle connections and those waiting for a port cost no CPU; a flood of connections, served
    // or dropped at once, leaves nothing behind, and a client that never ends its line is kept.
    void idleWaitingFloodAndSlowClient()
    {
        rlimit own{};
        ::getrlimit(RLIMIT_NOFILE, &own);
        own.rlim_cur = own.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &own);
        const int flood = int(qMin<rlim_t>(2000, own.rlim_cur - 500));
        QVERIFY(flood >= 500);
        Tester tester;
        QVERIFY(tester.startServing());
        const quint16 held = freePort();
        Client slow;
        Client watch;
        Client holder;
        QVERIFY(slow.connectTo(tester.port()) && watch.connectTo(tester.port()));
        QVERIFY(holder.connectTo(tester.port()));
        slow.send("getpu");
        holder.send(withPort("testport in tcp %1 60000\r\n", held));
        QCOMPARE(holder.takeLine(), withPort("porttesting in tcp %1\r\n", held));
        // Half of them idle, half waiting for the held port.
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < 200; ++i) {
            clients.push_back(std::make_unique<Client>());
            QVERIFY(clients.back()->connectTo(tester.port()));
            if (i % 2)
                clients.back()->send(withPort("testport in udp %1 60000\r\n", held));
        }
        for (auto &client : clients)
            QCOMPARE(client->linesBeforeBarrier(), QByteArray());
        QCOMPARE(watch.linesBeforeBarrier(), QByteArray());
        QTRY_COMPARE_WITH_TIMEOUT(tester.log().count(kEstablished), 204, kPatience);

        // A measuring window, not a wait for a condition: polling every 10 ms on each of these
        // connections would cost far more than this bound.
        const qint64 before = tester.status("cpu");
        QVERIFY(before >= 0);
        QTest::qWait(2000);
        const qint64 used = tester.status("cpu") - before;
        qInfo("100 idle and 100 waiting connections used %lld ticks in 2 s", used);
        QVERIFY2(used <= 10, qPrintable(u"%1 ticks"_s.arg(used)));

        const qint64 threads = tester.status("Threads");
        const qint64 descriptors = tester.status("fd");
        const qint64 rssBefore = tester.status("VmRSS");
        for (int round = 0; round < 2; ++round) {
            Flood connections;
            QCOMPARE(connections.open(tester.port(), flood), flood);
            // Every connection served before all are dropped at once, or dropped at once.
            if (round == 0)
                QTRY_VERIFY_WITH_TIMEOUT(tester.status("Threads") >= threads + flood, 30000);
            watch.send("getpublicip\r\n");
            QCOMPARE(watch.takeLine(), kIp);
            connections.closeAll();
            slow.send(round == 0 ? "b" : "l");
            watch.send("getpublicip\r\n");
            QCOMPARE(watch.takeLine(), kIp);
            QTRY_VERIFY_WITH_TIMEOUT(
                tester.status("Threads") == threads && tester.status("fd") == descriptors, 30000);
            // A leak of even a few KiB per connection would exceed this.
            if (!kSanitized)
                QTRY_VERIFY_WITH_TIMEOUT(tester.status("VmRSS") - rssBefore < 16 * 1024, kPatience);
        }
        slow.send("icip\r\n");
        QCOMPARE(slow.takeLine(), kIp);
        // Releasing the port wakes a waiting connection.
        holder.send(withPort("porttesting in tcp %1 success\r\n", held));
        const QByteArray go = withPort("porttesting in udp %1\r\n", held);
        QTRY_VERIFY_WITH_TIMEOUT(
            std::any_of(clients.begin(), clients.end(),
                        [&](const auto &client) { return client->data() == go; }),
            kPatience);
    }

    void turnedAway_data()
    {
        QTest::addColumn<bool>("paused");  // or beyond the limit of 3 connections from one address
        QTest::addColumn<QString>("host"); // connected to
        QTest::addColumn<QString>("key");  // what the limit counts by
        QTest::addRow("paused") << true << u"127.0.0.1"_s << u"127.0.0.1"_s;
        QTest::addRow("per-address limit") << false << u"127.0.0.1"_s << u"127.0.0.1"_s;
        QTest::addRow("per-address limit, IPv6 /64") << false << u"::1"_s << u"::/64"_s;
    }

    // Connections while the server is paused, or beyond the per-address limit, are closed at
    // once, however many (the limit logs one line per 10 s); the open ones are still served.
    // Once the server resumes, or a connection closes, new ones are served again.
    void turnedAway()
    {
        QFETCH(bool, paused);
        QFETCH(QString, host);
        QFETCH(QString, key);
        const QHostAddress address(host);
        const bool ipv6 = address.protocol() == QAbstractSocket::IPv6Protocol;
        if (ipv6 && !hasIpv6Loopback())
            QSKIP("no IPv6 loopback here");
        ServerLimits limits;
        limits.maxConnectionsPerAddress = 3;
        InProcess served(limits, ipv6 ? QHostAddress::Any : QHostAddress::AnyIPv4);
        PortTesterServer &server = served.server;
        const QStringList &events = served.events;
        QVERIFY(server.serverPort() != 0 && !server.isPaused());
        std::vector<std::unique_ptr<Client>> clients(paused ? 1 : 3);
        for (auto &client : clients) {
            client = std::make_unique<Client>();
            QVERIFY(client->connectTo(server.serverPort(), address));
            QCOMPARE(client->linesBeforeBarrier(), QByteArray());
        }
        const QString refusal = key + u" already has 3 connections"_s;
        const qsizetype logged = messages(refusal);
        if (paused) {
            server.pause();
            server.pause();
            QVERIFY(server.isPaused());
        }
        for (int i = 0; i < 20; ++i) {
            Client refused;
            QVERIFY(refused.connectTo(server.serverPort(), address) && refused.waitForClosed());
        }
        QCOMPARE(server.clientCount(), int(clients.size()));
        using Refusal = TesterMetrics::Refusal;
        const TesterMetrics::Door door = TesterMetrics::Door::Control;
        QCOMPARE(served.metrics
                     .controlConnectionsRefusedTotal(paused ? Refusal::Paused : Refusal::PerAddress)
                     .value(),
                 20u);
        QCOMPARE(served.metrics.controlConnectionsAcceptedTotal().value(), quint64(clients.size()));
        QCOMPARE(served.metrics.openConnections(door).value(), qint64(clients.size()));
        QCOMPARE(clients.back()->linesBeforeBarrier(), QByteArray());
        // Only served connections reach the system log.
        QCOMPARE(events.filter(u"client-connection established"_s).size(),
                 qsizetype(clients.size()));
        // Refusals are the debug log's alone; its throttling is what is counted.
        QCOMPARE(messages(refusal), logged + (paused ? 0 : 1));
        if (paused)
            server.resume();
        else
            clients.front()->close();
        QVERIFY(!server.isPaused());
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), paused ? 1 : 2, kPatience);
        Client fresh;
        QVERIFY(fresh.connectTo(server.serverPort(), address));
        QCOMPARE(fresh.linesBeforeBarrier(), QByteArray());
        clients.clear();
        fresh.close();
        QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 0, kPatience);
        QCOMPARE(served.metrics.openConnections(door).value(), 0);
    }
};

QTEST_GUILESS_MAIN(TestServer)
#include "tst_server.moc"
