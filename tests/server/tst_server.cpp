#include "server/porttesterserver.h"
#include "server/porttesthandler.h"
#include "server/serverlimits.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace {
constexpr int kWait = 10000;
const auto kLocalhost = QHostAddress(QHostAddress::LocalHost);
// Built with AddressSanitizer (and so the tester beside it): its allocator holds freed memory in
// quarantine, so resident memory says nothing about leaks; LeakSanitizer checks them instead.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// A port free for both TCP and UDP right now.
quint16 freePort()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        QTcpServer tcp;
        if (!tcp.listen(QHostAddress::AnyIPv4, 0))
            continue;
        QUdpSocket udp;
        if (udp.bind(QHostAddress::AnyIPv4, tcp.serverPort()))
            return tcp.serverPort();
    }
    return 0;
}

QByteArray portLine(QByteArray format, quint16 port)
{
    return format.replace("%1", QByteArray::number(port));
}

// One control connection seen from the client: raw lines as they arrive, CR LF included.
class Client
{
public:
    bool connectTo(quint16 port)
    {
        m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QObject::connect(&m_socket, &QTcpSocket::readyRead,
                         [this] { m_data += m_socket.readAll(); });
        m_socket.connectToHost(kLocalhost, port);
        return m_socket.waitForConnected(kWait);
    }
    void send(const QByteArray &data)
    {
        m_socket.write(data);
        m_socket.flush();
    }
    bool waitForLine(int timeout = kWait)
    {
        return QTest::qWaitFor([this] { return m_data.contains('\n'); }, timeout);
    }
    QByteArray takeLine()
    {
        if (!waitForLine())
            return {};
        const qsizetype end = m_data.indexOf('\n') + 1;
        const QByteArray line = m_data.left(end);
        m_data.remove(0, end);
        return line;
    }
    // Sends a getpublicip and returns what arrived before its reply: every line sent earlier
    // has been handled by then.
    QByteArray linesBeforeBarrier()
    {
        send("getpublicip\r\n");
        const QByteArray reply = "Public IP 127.0.0.1\r\n";
        if (!QTest::qWaitFor([&] { return m_data.endsWith(reply); }, kWait))
            return "<no barrier reply>";
        const QByteArray before = m_data.chopped(reply.size());
        m_data.clear();
        return before;
    }
    bool waitForClosed(int timeout = kWait)
    {
        return QTest::qWaitFor(
            [this] { return m_socket.state() == QAbstractSocket::UnconnectedState; }, timeout);
    }
    void close()
    {
        m_socket.disconnectFromHost();
        waitForClosed();
    }
    bool isClosed() const { return m_socket.state() == QAbstractSocket::UnconnectedState; }
    // For a server in another process: waits without the 10 ms naps of qWaitFor, so that a
    // test of many quick round trips measures the server, not the waiting.
    QByteArray takeLineBlocking()
    {
        while (!m_data.contains('\n')) {
            if (!m_socket.waitForReadyRead(kWait))
                return {};
        }
        const qsizetype end = m_data.indexOf('\n') + 1;
        const QByteArray line = m_data.left(end);
        m_data.remove(0, end);
        return line;
    }
    QByteArray pending() const { return m_data; }
    void clear() { m_data.clear(); }

private:
    QTcpSocket m_socket;
    QByteArray m_data;
};

// The real executable in the foreground on its own control port, with its own TMPDIR so that
// its debug log can be read.
class Tester
{
public:
    ~Tester()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(kWait))
            m_process.kill();
        m_process.waitForFinished(kWait);
    }
    // Soft and hard descriptor limit of the process, set before it runs.
    void setDescriptorLimit(rlim_t limit)
    {
        m_process.setChildProcessModifier([limit] {
            const rlimit nofile{limit, limit};
            ::setrlimit(RLIMIT_NOFILE, &nofile);
        });
    }
    bool start(quint16 port)
    {
        m_port = port;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"TMPDIR"_s, m_dir.path());
        // Every client here comes from one address.
        env.insert(u"VX_MAX_CONNECTIONS_PER_ADDRESS"_s, u"0"_s);
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        m_process.start(qEnvironmentVariable("VX_TESTER"), {u"-e"_s, QString::number(port)});
        return m_process.waitForStarted(kWait);
    }
    // Starts on a free port and waits until a connection is served.
    bool startServing()
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (!start(freePort()))
                return false;
            const bool serving = QTest::qWaitFor(
                [this] {
                    if (m_process.state() != QProcess::Running)
                        return true;
                    Client probe;
                    return probe.connectTo(m_port) && probe.linesBeforeBarrier().isEmpty();
                },
                kWait);
            // The probe's close entries come before anything a test looks for.
            if (serving && m_process.state() == QProcess::Running)
                return QTest::qWaitFor([this] { return log().contains("connection closed"); },
                                       kWait);
            m_process.waitForFinished(kWait);
        }
        return false;
    }
    quint16 port() const { return m_port; }
    QProcess &process() { return m_process; }
    QByteArray log() const
    {
        QFile file(m_dir.filePath(u"service-debuglog.txt"_s));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    qint64 mark() const { return log().size(); }
    QByteArray logSince(qint64 mark) const { return log().mid(mark); }
    bool waitForLog(const QByteArray &text, qint64 mark = 0, int timeout = kWait) const
    {
        return QTest::qWaitFor([&] { return logSince(mark).contains(text); }, timeout);
    }
    // Whether the texts appear in this order after the mark.
    bool inOrder(const QList<QByteArray> &texts, qint64 mark) const
    {
        const QByteArray text = logSince(mark);
        qsizetype from = 0;
        for (const QByteArray &t : texts) {
            from = text.indexOf(t, from);
            if (from < 0)
                return false;
            from += t.size();
        }
        return true;
    }
    // CPU time (user + system) of the process in clock ticks.
    qint64 cpuTicks() const
    {
        QFile stat(u"/proc/%1/stat"_s.arg(m_process.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return -1;
        const QList<QByteArray> fields = stat.readAll().split(')').last().split(' ');
        // After the command: state is field 3, utime 14, stime 15 (1-based, whole line).
        return fields.value(12).toLongLong() + fields.value(13).toLongLong();
    }

    // A number field of /proc/<pid>/status ("Threads", "VmRSS" in KiB); -1 when unknown.
    qint64 status(const QByteArray &field) const
    {
        QFile file(u"/proc/%1/status"_s.arg(m_process.processId()));
        if (!file.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (line.startsWith(QByteArray(field + ':')))
                return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
        }
        return -1;
    }
    qint64 descriptors() const
    {
        return QDir(u"/proc/%1/fd"_s.arg(m_process.processId()))
            .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
            .size();
    }
    bool isRunning() const { return m_process.state() == QProcess::Running; }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};

// Opens many connections at once without Qt: non-blocking connects, closed together.
class Flood
{
public:
    ~Flood() { closeAll(); }
    int open(quint16 port, int count)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < count; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0)
                break;
            ::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof(to));
            m_fds.push_back(fd);
        }
        return int(m_fds.size());
    }
    void closeAll()
    {
        for (int fd : m_fds)
            ::close(fd);
        m_fds.clear();
    }

private:
    std::vector<int> m_fds;
};

// Lets this process open as many descriptors as it may; returns the limit.
rlim_t raiseOwnDescriptorLimit()
{
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur;
}

// Collects the diagnostics of in-process servers (any thread).
QMutex s_messagesMutex;
QStringList s_messages;

void collectMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    QMutexLocker locker(&s_messagesMutex);
    s_messages.append(message);
}

bool messageLogged(const QString &text)
{
    QMutexLocker locker(&s_messagesMutex);
    return s_messages.contains(text);
}
} // namespace

class TestServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void getPublicIp_data();
    void getPublicIp();
    void lineFraming();
    void lineLengthCap();
    void testPortGrammar_data();
    void testPortGrammar();
    void portTestingLines();
    void queueLimit();
    void testsOnOnePortInOneConnection();
    void reservationAcrossConnections_data();
    void reservationAcrossConnections();
    void closeWithRunningAndQueuedTests();
    void connectionLogEntries();
    void heldControlPort();
    void endWithOpenConnections();
    void idleAndWaitingConnectionsSleep();
    void backToBackTests();
    void clientThatDoesNotRead();
    void burstsUnderLowDescriptorLimit();
    void perAddressLimit();
    void timeLimits_data();
    void timeLimits();
    void floodAndSlowClient();
    void pauseAndResume();
    void serverDestroyedWithOpenConnections();

private:
    bool needTester();
    std::unique_ptr<Tester> m_tester;
};

bool TestServer::needTester()
{
    if (qEnvironmentVariableIsEmpty("VX_TESTER"))
        return false;
    if (!m_tester) {
        m_tester = std::make_unique<Tester>();
        if (!m_tester->startServing())
            qWarning("tester did not start serving");
    }
    return true;
}

void TestServer::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("VX_TESTER"))
        qWarning("VX_TESTER is not set: the tests of the executable are skipped");
}

#define NEED_TESTER()                                                                              \
    if (!needTester())                                                                             \
        QSKIP("VX_TESTER is not set");                                                             \
    Tester &tester = *m_tester;

void TestServer::getPublicIp_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addRow("capitals, CR LF") << QByteArray("GETPUBLICIP\r\n");
    QTest::addRow("bare LF") << QByteArray("getpublicip\n");
    QTest::addRow("ignored argument") << QByteArray("getpublicip now\r\n");
}

void TestServer::getPublicIp()
{
    NEED_TESTER();
    QFETCH(QByteArray, line);
    Client client;
    QVERIFY(client.connectTo(tester.port()));
    client.send(line);
    QCOMPARE(client.takeLine(), QByteArray("Public IP 127.0.0.1\r\n"));
    QVERIFY(client.linesBeforeBarrier().isEmpty());
}

void TestServer::lineFraming()
{
    NEED_TESTER();
    Client client;
    QVERIFY(client.connectTo(tester.port()));

    // A line in pieces is answered only once its LF is there.
    qint64 mark = tester.mark();
    client.send("getpub");
    QVERIFY(tester.waitForLog("onReadCommand() - sock_id = ", mark));
    mark = tester.mark();
    client.send("licip");
    QVERIFY(tester.waitForLog("onReadCommand() - sock_id = ", mark));
    QVERIFY(client.pending().isEmpty());
    client.send("\r\n");
    QCOMPARE(client.takeLine(), QByteArray("Public IP 127.0.0.1\r\n"));

    // Two lines in one segment: both answered, in one read.
    mark = tester.mark();
    client.send("getpublicip\r\nGetPublicIp\n");
    QCOMPARE(client.takeLine(), QByteArray("Public IP 127.0.0.1\r\n"));
    QCOMPARE(client.takeLine(), QByteArray("Public IP 127.0.0.1\r\n"));
    const QByteArray twoLines = tester.logSince(mark);
    QCOMPARE(twoLines.count("onReadCommand() - sock_id = "), 1);
    QVERIFY(tester.inOrder({"--> getpublicip\n", "--> GetPublicIp\n\n"}, mark));

    // A blank-led line has an empty command word; a bare LF line too; a bare CR LF is nothing.
    mark = tester.mark();
    client.send(" getpublicip\r\n\n\r\n");
    QCOMPARE(client.linesBeforeBarrier(), QByteArray());
    const QByteArray odd = tester.logSince(mark);
    QVERIFY(odd.contains("got an unknown command!\n-->  getpublicip\n"));
    QVERIFY(odd.contains("--> \n\n"));
    QCOMPARE(odd.count("got an unknown command!"), 2);
    QCOMPARE(odd.count("--> "), 5); // two per unknown line, one for the barrier
}

void TestServer::lineLengthCap()
{
    NEED_TESTER();
    // A long line that fits is served.
    Client fits;
    QVERIFY(fits.connectTo(tester.port()));
    fits.send("getpublicip" + QByteArray(60000, ' ') + "\r\n");
    QCOMPARE(fits.takeLine(), QByteArray("Public IP 127.0.0.1\r\n"));
    // Logged cut short: a client's long lines must not fill the disk.
    QVERIFY(tester.waitForLog("--> getpublicip" + QByteArray(189, ' ') + " ... (60011 bytes)\n"));

    // Many lines, far beyond one buffer's worth, in one write: every one is answered.
    QByteArray many;
    for (int i = 0; i < 10000; ++i)
        many += "getpublicip\r\n";
    fits.send(many);
    QTRY_COMPARE_WITH_TIMEOUT(fits.pending().count("Public IP 127.0.0.1\r\n"), 10000, 30000);
    fits.clear();

    // More than 64 KiB without a line feed: disconnected, with a debug-log line.
    const qint64 mark = tester.mark();
    Client flood;
    QVERIFY(flood.connectTo(tester.port()));
    flood.send(QByteArray(70000, 'x'));
    QVERIFY(flood.waitForClosed());
    QVERIFY(tester.waitForLog("line longer than 65536 bytes, disconnecting", mark));
    QVERIFY(tester.waitForLog("PortTesterServer: client-connection closed", mark));
    QCOMPARE(fits.linesBeforeBarrier(), QByteArray());
}

void TestServer::testPortGrammar_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("goLine"); // empty: refused
    QTest::addRow("plain") << QByteArray("testport tcp %1") << QByteArray("porttesting in tcp %1");
    QTest::addRow("out, limit") << QByteArray("testport OUT udp %1 250")
                                << QByteArray("porttesting out udp %1");
    QTest::addRow("mixed case") << QByteArray("testport In TCP %1")
                                << QByteArray("porttesting in tcp %1");
    QTest::addRow("surrounding text")
        << QByteArray("testport foo tcp %1 bar") << QByteArray("porttesting in tcp %1");
    QTest::addRow("port 0") << QByteArray("testport tcp 0") << QByteArray();
    QTest::addRow("port 70000") << QByteArray("testport tcp 70000") << QByteArray();
    QTest::addRow("eleven nines") << QByteArray("testport tcp 99999999999") << QByteArray();
    QTest::addRow("no protocol") << QByteArray("testport %1") << QByteArray();
    QTest::addRow("unknown protocol") << QByteArray("testport ftp %1") << QByteArray();
    QTest::addRow("no arguments") << QByteArray("testport") << QByteArray();
}

void TestServer::testPortGrammar()
{
    NEED_TESTER();
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, goLine);
    const quint16 port = freePort();
    line = portLine(line, port);
    const qint64 mark = tester.mark();
    Client client;
    QVERIFY(client.connectTo(tester.port()));
    client.send(line + "\r\n");
    if (goLine.isEmpty()) {
        QCOMPARE(client.linesBeforeBarrier(), QByteArray());
        QVERIFY(tester.logSince(mark).contains("got an unknown command!\n--> testport"));
        QVERIFY(!tester.logSince(mark).contains("port-test queued!"));
    } else {
        QCOMPARE(client.takeLine(), portLine(goLine, port) + "\r\n");
        QVERIFY(tester.logSince(mark).contains("port-test queued! (peer is 127.0.0.1)"));
        QVERIFY(!tester.logSince(mark).contains("got an unknown command!"));
    }
}

void TestServer::portTestingLines()
{
    NEED_TESTER();
    const quint16 port = freePort();
    Client client;
    QVERIFY(client.connectTo(tester.port()));

    // No test runs: the line is dropped.
    qint64 mark = tester.mark();
    client.send(portLine("porttesting in tcp %1 success\r\n", port));
    QCOMPARE(client.linesBeforeBarrier(), QByteArray());
    QVERIFY(!tester.logSince(mark).contains("onControlMessage"));
    QVERIFY(!tester.logSince(mark).contains("got an unknown command!"));

    client.send(portLine("testport in tcp %1 60000\r\n", port));
    QCOMPARE(client.takeLine(), portLine("porttesting in tcp %1\r\n", port));

    // A blank before the word: unknown, reaches no test.
    mark = tester.mark();
    client.send(portLine(" porttesting in tcp %1 success\r\n", port));
    QCOMPARE(client.linesBeforeBarrier(), QByteArray());
    QVERIFY(tester.logSince(mark).contains("got an unknown command!"));
    QVERIFY(!tester.logSince(mark).contains("onControlMessage"));

    // Rebuilt with one blank and the lowercase word, and it ends the test.
    mark = tester.mark();
    client.send(portLine("PORTTESTING    in tcp %1 success   \r\n", port));
    QCOMPARE(client.linesBeforeBarrier(), QByteArray());
    QVERIFY(tester.logSince(mark).contains(portLine(
        "ServerSide - PortTest::onControlMessage() -> porttesting in tcp %1 success\n", port)));
    QVERIFY(tester.waitForLog(portLine("test on port=%1 done. (success=1)", port), mark));
}

void TestServer::queueLimit()
{
    NEED_TESTER();
    const quint16 port = freePort();
    QByteArray burst;
    for (int i = 0; i < 102; ++i)
        burst += portLine("testport in tcp %1 60000\r\n", port);
    const qint64 mark = tester.mark();
    Client client;
    QVERIFY(client.connectTo(tester.port()));
    client.send(burst);
    QVERIFY(tester.waitForLog("port-test queue full!", mark));
    const QByteArray log = tester.logSince(mark);
    QCOMPARE(log.count("port-test queued!"), 101);
    QCOMPARE(log.count("port-test queue full!"), 1);
    QCOMPARE(log.count("onReadCommand() - sock_id"), 1);
    QCOMPARE(client.takeLine(), portLine("porttesting in tcp %1\r\n", port));
}

void TestServer::testsOnOnePortInOneConnection()
{
    NEED_TESTER();
    const quint16 port = freePort();
    Client client;
    QVERIFY(client.connectTo(tester.port()));
    const QByteArray request = portLine("testport in tcp %1 60000\r\n", port);
    client.send(request + request);
    const QByteArray go = portLine("porttesting in tcp %1\r\n", port);
    QCOMPARE(client.takeLine(), go);
    QCOMPARE(client.linesBeforeBarrier(), QByteArray());
    // The first test ends by the client's connection; only then does the second listen.
    QTcpSocket probe;
    probe.connectToHost(kLocalhost, port);
    QVERIFY(probe.waitForConnected(kWait));
    QCOMPARE(client.takeLine(), portLine("porttesting in tcp %1 success\r\n", port));
    QCOMPARE(client.takeLine(), go);
}

void TestServer::reservationAcrossConnections_data()
{
    QTest::addColumn<QByteArray>("protocol");
    QTest::addRow("tcp then tcp") << QByteArray("tcp");
    QTest::addRow("tcp then udp") << QByteArray("udp");
}

void TestServer::reservationAcrossConnections()
{
    NEED_TESTER();
    QFETCH(QByteArray, protocol);
    const quint16 held = freePort();
    const quint16 free1 = freePort();
    const quint16 free2 = freePort();

    Client first;
    QVERIFY(first.connectTo(tester.port()));
    first.send(portLine("testport in tcp %1 60000\r\n", held));
    QCOMPARE(first.takeLine(), portLine("porttesting in tcp %1\r\n", held));

    // The second connection's test on the held number is passed over, keeping its place,
    // while its tests on free ports run.
    Client second;
    QVERIFY(second.connectTo(tester.port()));
    second.send(portLine("testport in " + protocol + " %1 60000\r\n", held) +
                portLine("testport in tcp %1 60000\r\n", free1) +
                portLine("testport in tcp %1 60000\r\n", free2));
    QCOMPARE(second.takeLine(), portLine("porttesting in tcp %1\r\n", free1));
    second.send(portLine("porttesting in tcp %1 success\r\n", free1));
    QCOMPARE(second.takeLine(), portLine("porttesting in tcp %1\r\n", free2));
    second.send(portLine("porttesting in tcp %1 success\r\n", free2));
    QCOMPARE(second.linesBeforeBarrier(), QByteArray());

    first.send(portLine("porttesting in tcp %1 success\r\n", held));
    QCOMPARE(second.takeLine(), portLine("porttesting in " + protocol + " %1\r\n", held));
    QCOMPARE(first.linesBeforeBarrier(), QByteArray());
}

void TestServer::closeWithRunningAndQueuedTests()
{
    if (qEnvironmentVariableIsEmpty("VX_TESTER"))
        QSKIP("VX_TESTER is not set");
    Tester tester;
    QVERIFY(tester.startServing());
    const quint16 held = freePort();
    const QList<quint16> queued = {freePort(), freePort(), freePort()};
    const qint64 mark = tester.mark();

    auto first = std::make_unique<Client>();
    QVERIFY(first->connectTo(tester.port()));
    QByteArray requests = portLine("testport in tcp %1 600000\r\n", held);
    for (quint16 port : queued)
        requests += portLine("testport in tcp %1 600000\r\n", port);
    first->send(requests);
    QCOMPARE(first->takeLine(), portLine("porttesting in tcp %1\r\n", held));

    Client second;
    QVERIFY(second.connectTo(tester.port()));
    second.send(portLine("testport in tcp %1 600000\r\n", held));
    QCOMPARE(second.linesBeforeBarrier(), QByteArray());

    // Closing aborts the running test and frees its port at once, long before its limit.
    first->close();
    QCOMPARE(second.takeLine(), portLine("porttesting in tcp %1\r\n", held));
    // The handler's reaction and the server's run in either order; the running test is always
    // aborted before the server reports the connection closed.
    QTRY_VERIFY_WITH_TIMEOUT(
        tester.inOrder({"Deleting PortTestHandler", "PortTestHandler::~PortTestHandler()",
                        "[LOGGED Success] PortTesterServer: client-connection closed"},
                       mark),
        kWait);
    QVERIFY(tester.inOrder(
        {"PortTest::onAbortTest()", "[LOGGED Success] PortTesterServer: client-connection closed"},
        mark));
    QVERIFY(tester.logSince(mark).contains("PortTestHandler::onDisconnected()"));
    const QByteArray log = tester.logSince(mark);
    for (quint16 port : queued)
        QVERIFY(!log.contains(portLine("scheduling test on port %1\n", port)));
    QCOMPARE(log.count(portLine("scheduling test on port %1\n", held)), 2);
}

void TestServer::connectionLogEntries()
{
    if (qEnvironmentVariableIsEmpty("VX_TESTER"))
        QSKIP("VX_TESTER is not set");
    // A process of its own: no other connection's entries in its log.
    Tester tester;
    QVERIFY(tester.startServing());
    const qint64 mark = tester.mark();
    Client client;
    QVERIFY(client.connectTo(tester.port()));
    QCOMPARE(client.linesBeforeBarrier(), QByteArray());
    static const QRegularExpression established(
        u"\\[LOGGED Success\\] \\n\\nPortTesterServer: client-connection established from "
        "127\\.0\\.0\\.1 sock_id = \\d+\\n"_s);
    QVERIFY(established.match(QString::fromLatin1(tester.logSince(mark))).hasMatch());
    client.close();
    QTRY_VERIFY_WITH_TIMEOUT(
        tester.inOrder({"client-connection established", "Deleting PortTestHandler",
                        "PortTestHandler::~PortTestHandler()",
                        "[LOGGED Success] PortTesterServer: client-connection closed"},
                       mark),
        kWait);
}

void TestServer::heldControlPort()
{
    if (qEnvironmentVariableIsEmpty("VX_TESTER"))
        QSKIP("VX_TESTER is not set");
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::AnyIPv4, 0));
    Tester tester;
    QVERIFY(tester.start(holder.serverPort()));
    QVERIFY(tester.process().waitForFinished(kWait));
    QCOMPARE(tester.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(tester.process().exitCode(), 1);
    const QByteArray port = QByteArray::number(holder.serverPort());
    QVERIFY(
        tester.log().contains(QByteArray("[LOGGED Error] Failed to bind to port " + port + "\n")));
    QVERIFY(tester.log().contains(
        QByteArray("PortTesterServer() - listen(0.0.0.0, " + port + ") failed! Error: ")));
}

void TestServer::endWithOpenConnections()
{
    if (qEnvironmentVariableIsEmpty("VX_TESTER"))
        QSKIP("VX_TESTER is not set");
    Tester tester;
    QVERIFY(tester.startServing());
    const quint16 port = freePort();
    Client busy;
    Client idle;
    QVERIFY(busy.connectTo(tester.port()));
    QVERIFY(idle.connectTo(tester.port()));
    busy.send(portLine("testport in tcp %1 600000\r\n", port) +
              portLine("testport out udp %1 600000\r\n", freePort()));
    QCOMPARE(busy.takeLine(), portLine("porttesting in tcp %1\r\n", port));
    QCOMPARE(idle.linesBeforeBarrier(), QByteArray());

    // A stop request ends the run cleanly: every worker winds down, every connection closes.
    tester.process().terminate();
    QVERIFY(tester.process().waitForFinished(kWait));
    QCOMPARE(tester.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(tester.process().exitCode(), 0);
    QVERIFY(busy.waitForClosed());
    QVERIFY(idle.waitForClosed());
    const QByteArray log = tester.log();
    QCOMPARE(log.count("PortTestHandler::~PortTestHandler()"), log.count("established from"));
    QVERIFY(log.lastIndexOf("PortTestHandler::~PortTestHandler()") <
            log.lastIndexOf("--- DEBUG LOG CLOSED ---"));
}

void TestServer::idleAndWaitingConnectionsSleep()
{
    if (qEnvironmentVariableIsEmpty("VX_TESTER"))
        QSKIP("VX_TESTER is not set");
    Tester tester;
    QVERIFY(tester.startServing());
    const quint16 held = freePort();
    Client holder;
    QVERIFY(holder.connectTo(tester.port()));
    holder.send(portLine("testport in tcp %1 60000\r\n", held));
    QCOMPARE(holder.takeLine(), portLine("porttesting in tcp %1\r\n", held));

    // Half of them idle, half waiting for the held port.
    constexpr int kConnections = 200;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kConnections; ++i) {
        clients.push_back(std::make_unique<Client>());
        QVERIFY(clients.back()->connectTo(tester.port()));
        if (i % 2)
            clients.back()->send(portLine("testport in udp %1 60000\r\n", held));
    }
    for (auto &client : clients)
        QCOMPARE(client->linesBeforeBarrier(), QByteArray());

    // A measuring window, not a wait for a condition: polling every 10 ms on each of these
    // connections would cost far more than this bound.
    const qint64 before = tester.cpuTicks();
    QVERIFY(before >= 0);
    QTest::qWait(2000);
    const qint64 used = tester.cpuTicks() - before;
    qInfo("process with %d idle and %d waiting connections used %lld ticks in 2 s",
          kConnections / 2, kConnections / 2, static_cast<long long>(used));
    QVERIFY2(used <= 10, qPrintable(u"%1 ticks"_s.arg(used)));

    // Releasing the port wakes a waiting connection.
    holder.send(portLine("porttesting in tcp %1 success\r\n", held));
    const auto started = [&] {
        return std::any_of(clients.begin(), clients.end(), [&](const auto &client) {
            return client->pending() == portLine("porttesting in udp %1\r\n", held);
        });
    };
    QTRY_VERIFY_WITH_TIMEOUT(started(), kWait);
}

void TestServer::backToBackTests()
{
    NEED_TESTER();
    const quint16 brief = freePort();
    const quint16 port = freePort();
    Client client;
    QVERIFY(client.connectTo(tester.port()));

    // A test that ends by its limit: its timeout line leaves before the next test's go line.
    client.send(portLine("testport in tcp %1 100\r\n", brief) +
                portLine("testport in tcp %1 60000\r\n", port));
    QCOMPARE(client.takeLine(), portLine("porttesting in tcp %1\r\n", brief));
    QCOMPARE(client.takeLine(), portLine("porttesting in tcp %1 timeout\r\n", brief));
    QCOMPARE(client.takeLine(), portLine("porttesting in tcp %1\r\n", port));
    client.send(portLine("porttesting in tcp %1 success\r\n", port));
    QCOMPARE(client.linesBeforeBarrier(), QByteArray());

    // The next test starts as the previous one ends, not on a 10 ms tick, and every line leaves
    // at once: polling alone would make these tests take at least three seconds.
    constexpr int kTests = 300;
    const QByteArray request = portLine("testport in tcp %1 60000\r\n", port);
    const QByteArray go = portLine("porttesting in tcp %1\r\n", port);
    const QByteArray success = portLine("porttesting in tcp %1 success\r\n", port);
    QElapsedTimer timer;
    timer.start();
    int requested = 100;
    client.send(request.repeated(requested));
    for (int i = 0; i < kTests; ++i) {
        QCOMPARE(client.takeLineBlocking(), go);
        QTcpSocket probe;
        probe.connectToHost(kLocalhost, port);
        QVERIFY(probe.waitForConnected(kWait));
        QCOMPARE(client.takeLineBlocking(), success);
        if (requested < kTests) {
            client.send(request);
            ++requested;
        }
    }
    const qint64 elapsed = timer.elapsed();
    qInfo("%d tests back to back in %lld ms", kTests, static_cast<long long>(elapsed));
    QVERIFY2(elapsed < kTests * 10, qPrintable(u"%1 ms"_s.arg(elapsed)));
}

void TestServer::clientThatDoesNotRead()
{
    if (qEnvironmentVariableIsEmpty("VX_TESTER"))
        QSKIP("VX_TESTER is not set");
    Tester tester;
    QVERIFY(tester.startServing());
    const qint64 rssBefore = tester.status("VmRSS");
    Client other;
    QVERIFY(other.connectTo(tester.port()));

    // A client with a small receive buffer that sends requests and never reads the replies.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QVERIFY(fd >= 0);
    const auto closeFd = qScopeGuard([fd] { ::close(fd); });
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(tester.port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof(to)), 0);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);

    const QByteArray request = "getpublicip\n";
    const QByteArray chunk = request.repeated(4096);
    constexpr qint64 kCap = 32 * 1024 * 1024;
    qint64 sent = 0;
    while (sent < kCap) {
        const qsizetype at = sent % chunk.size();
        const ssize_t n =
            ::send(fd, chunk.constData() + at, size_t(chunk.size() - at), MSG_NOSIGNAL);
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
    qInfo("the client could send %lld bytes before it was held back", static_cast<long long>(sent));
    QVERIFY2(sent < kCap, "the server kept reading from a client that does not read");
    QVERIFY(tester.waitForLog("reading held"));
    const qint64 grown = tester.status("VmRSS") - rssBefore;
    qInfo("RSS grew by %lld KiB", static_cast<long long>(grown));
    if (!kSanitized)
        QVERIFY2(grown < 16 * 1024, qPrintable(u"RSS grew by %1 KiB"_s.arg(grown)));
    QCOMPARE(other.linesBeforeBarrier(), QByteArray());

    // Reading now gets every reply: nothing was lost while reading was held.
    const QByteArray reply = "Public IP 127.0.0.1\r\n";
    const qint64 expected = sent / request.size() * reply.size();
    qint64 received = 0;
    QByteArray buffer(64 * 1024, '\0');
    QByteArray tail;
    bool intact = true;
    QElapsedTimer timer;
    timer.start();
    while (received < expected && timer.elapsed() < 60000) {
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, kWait) <= 0)
            break;
        const ssize_t n = ::recv(fd, buffer.data(), size_t(buffer.size()), 0);
        if (n <= 0)
            break;
        received += n;
        // Every reply whole and alike: check the stream in reply-sized steps.
        tail += QByteArrayView(buffer.constData(), n);
        const qsizetype whole = tail.size() / reply.size() * reply.size();
        for (qsizetype at = 0; at < whole && intact; at += reply.size())
            intact = QByteArrayView(tail).sliced(at, reply.size()) == reply;
        tail.remove(0, whole);
    }
    QCOMPARE(received, expected);
    QVERIFY(intact);
    QVERIFY(tester.waitForLog("reading resumed"));
}

void TestServer::burstsUnderLowDescriptorLimit()
{
    if (qEnvironmentVariableIsEmpty("VX_TESTER"))
        QSKIP("VX_TESTER is not set");
    // The sanitizers' own checks need descriptors (UBSan's vptr check opens a pipe to probe
    // memory), so in a process without one left they report good objects as broken.
    if (kSanitized)
        QSKIP("descriptor exhaustion is tested in the build without sanitizers");
    Tester tester;
    tester.setDescriptorLimit(96);
    QVERIFY(tester.startServing());
    const QByteArray reply = "Public IP 127.0.0.1\r\n";

    // Connections until one is turned away: it is closed at once, not left hanging.
    std::vector<std::unique_ptr<Client>> served;
    for (int i = 0; i < 80; ++i) {
        auto client = std::make_unique<Client>();
        QVERIFY(client->connectTo(tester.port()));
        client->send("getpublicip\r\n");
        QVERIFY(QTest::qWaitFor([&] { return client->pending() == reply || client->isClosed(); },
                                kWait));
        if (client->isClosed())
            break;
        client->clear();
        served.push_back(std::move(client));
    }
    qInfo("%zu connections served with 96 descriptors", served.size());
    QVERIFY(served.size() >= 5);
    QVERIFY(served.size() < 80);
    QVERIFY(tester.waitForLog("no descriptors to spare"));

    // Every served connection has room for its test.
    QSet<quint16> ports;
    while (ports.size() < qsizetype(served.size()))
        ports.insert(freePort());
    auto port = ports.cbegin();
    for (auto &client : served)
        client->send(portLine("testport in udp %1 600000\r\n", *port++));
    for (auto &client : served)
        QCOMPARE(client->takeLine().endsWith(" failure\r\n"), false);

    // Bursts far beyond what is left never end the process; served clients are answered
    // throughout, and the refusals leave few log lines.
    QElapsedTimer bursts;
    bursts.start();
    constexpr int kRounds = 30;
    for (int round = 0; round < kRounds; ++round) {
        Flood burst;
        QCOMPARE(burst.open(tester.port(), 150), 150);
        QCOMPARE(served.back()->linesBeforeBarrier(), QByteArray());
        burst.closeAll();
        QVERIFY2(tester.isRunning(), qPrintable(u"ended in round %1"_s.arg(round)));
    }
    QCOMPARE(served.front()->linesBeforeBarrier(), QByteArray());
    QVERIFY(tester.log().count("no descriptors to spare") <= 1 + bursts.elapsed() / 10000 + 1);

    // Closing connections frees their room: new clients are served again.
    const qsizetype closed = tester.log().count("client-connection closed");
    for (size_t i = 0; i < served.size() / 2; ++i)
        served[i]->close();
    QTRY_COMPARE_WITH_TIMEOUT(tester.log().count("client-connection closed"),
                              closed + qsizetype(served.size() / 2), kWait);
    Client fresh;
    QVERIFY(fresh.connectTo(tester.port()));
    QCOMPARE(fresh.linesBeforeBarrier(), QByteArray());
    QVERIFY(tester.isRunning());
}

void TestServer::perAddressLimit()
{
    const QtMessageHandler previous = qInstallMessageHandler(collectMessage);
    const auto restore = qScopeGuard([previous] { qInstallMessageHandler(previous); });
    ServerLimits limits;
    limits.maxConnectionsPerAddress = 3;
    PortTesterServer server(QHostAddress::AnyIPv4, 0, limits);
    QVERIFY(server.isListening());
    std::vector<std::unique_ptr<Client>> clients(3);
    for (auto &client : clients) {
        client = std::make_unique<Client>();
        QVERIFY(client->connectTo(server.serverPort()));
        QCOMPARE(client->linesBeforeBarrier(), QByteArray());
    }
    // Beyond the limit: closed at once, however often, with one log line per 10 s.
    for (int i = 0; i < 20; ++i) {
        Client refused;
        QVERIFY(refused.connectTo(server.serverPort()));
        QVERIFY(refused.waitForClosed());
    }
    QCOMPARE(server.clientCount(), 3);
    {
        QMutexLocker locker(&s_messagesMutex);
        QCOMPARE(s_messages.filter(u"127.0.0.1 already has 3 connections"_s).size(), 1);
    }
    clients.front()->close();
    QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 2, kWait);
    Client fresh;
    QVERIFY(fresh.connectTo(server.serverPort()));
    QCOMPARE(fresh.linesBeforeBarrier(), QByteArray());
}

void TestServer::timeLimits_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("limit");
    QTest::addRow("cut to the maximum") << QByteArray("testport in tcp %1 2147483647") << 1000;
    QTest::addRow("udp, kept") << QByteArray("testport in udp %1 700") << 700;
    QTest::addRow("raised to the floor") << QByteArray("testport in tcp %1 40") << 100;
}

void TestServer::timeLimits()
{
    QFETCH(QByteArray, request);
    QFETCH(int, limit);
    ServerLimits limits;
    limits.maxTestTimeMs = 1000;
    PortTesterServer server(QHostAddress::AnyIPv4, 0, limits);
    const quint16 port = freePort();
    Client client;
    QVERIFY(client.connectTo(server.serverPort()));
    QCOMPARE(client.linesBeforeBarrier(), QByteArray());
    // Several in a row: a coarse timer ends some of them early.
    for (int i = 0; i < 3; ++i) {
        client.send(portLine(request + "\r\n", port));
        // Blocking reads: the naps of an event-loop wait would skew what is measured.
        QVERIFY(client.takeLineBlocking().startsWith("porttesting in "));
        QElapsedTimer elapsed;
        elapsed.start();
        QVERIFY(client.takeLineBlocking().endsWith(portLine(" %1 timeout\r\n", port)));
        // The go line left after the timer started: what is measured here is at most the
        // test's time, give or take delivery.
        QVERIFY2(elapsed.elapsed() >= limit - 10, qPrintable(QString::number(elapsed.elapsed())));
        QVERIFY2(elapsed.elapsed() < limit + 5000, qPrintable(QString::number(elapsed.elapsed())));
    }
}

void TestServer::floodAndSlowClient()
{
    if (qEnvironmentVariableIsEmpty("VX_TESTER"))
        QSKIP("VX_TESTER is not set");
    const int flood = int(qMin<rlim_t>(2000, raiseOwnDescriptorLimit() - 200));
    QVERIFY(flood >= 500);
    Tester tester;
    QVERIFY(tester.startServing());
    const QByteArray reply = "Public IP 127.0.0.1\r\n";

    // A client that never ends its line, and one that keeps asking.
    Client slow;
    Client watch;
    QVERIFY(slow.connectTo(tester.port()));
    QVERIFY(watch.connectTo(tester.port()));
    slow.send("getpu");
    QCOMPARE(watch.linesBeforeBarrier(), QByteArray());
    QTRY_COMPARE_WITH_TIMEOUT(tester.log().count("client-connection established"), 3, kWait);
    const qint64 threads = tester.status("Threads");
    const qint64 descriptors = tester.descriptors();
    const qint64 rssBefore = tester.status("VmRSS");

    const auto backToBaseline = [&] {
        return tester.status("Threads") == threads && tester.descriptors() == descriptors;
    };
    for (int round = 0; round < 2; ++round) {
        Flood connections;
        QCOMPARE(connections.open(tester.port(), flood), flood);
        if (round == 0) {
            // Every connection served before all are dropped at once.
            QTRY_VERIFY_WITH_TIMEOUT(tester.status("Threads") >= threads + flood, 30000);
        }
        watch.send("getpublicip\r\n");
        QCOMPARE(watch.takeLine(), reply);
        connections.closeAll();
        slow.send(round == 0 ? "b" : "l");
        watch.send("getpublicip\r\n");
        QCOMPARE(watch.takeLine(), reply);
        QTRY_VERIFY_WITH_TIMEOUT(backToBaseline(), 30000);
        // A leak of even a few KiB per connection would exceed this.
        if (!kSanitized)
            QTRY_VERIFY_WITH_TIMEOUT(tester.status("VmRSS") - rssBefore < 16 * 1024, kWait);
        qInfo("flood of %d (%s): RSS %lld KiB before, %lld KiB after", flood,
              round == 0 ? "served, then dropped" : "dropped at once",
              static_cast<long long>(rssBefore), static_cast<long long>(tester.status("VmRSS")));
    }

    // The slow client's line was kept all along.
    slow.send("icip\r\n");
    QCOMPARE(slow.takeLine(), reply);
    QVERIFY(tester.isRunning());
}

void TestServer::pauseAndResume()
{
    const QtMessageHandler previous = qInstallMessageHandler(collectMessage);
    PortTesterServer server(QHostAddress::AnyIPv4, 0);
    QVERIFY(server.isListening());
    QVERIFY(!server.isPaused());

    Client existing;
    QVERIFY(existing.connectTo(server.serverPort()));
    QCOMPARE(existing.linesBeforeBarrier(), QByteArray());
    QCOMPARE(server.clientCount(), 1);

    server.pause();
    server.pause();
    QVERIFY(server.isPaused());
    Client refused;
    QVERIFY(refused.connectTo(server.serverPort()));
    QVERIFY(refused.waitForClosed());
    QCOMPARE(server.clientCount(), 1);
    QCOMPARE(existing.linesBeforeBarrier(), QByteArray());

    server.resume();
    QVERIFY(!server.isPaused());
    Client fresh;
    QVERIFY(fresh.connectTo(server.serverPort()));
    QCOMPARE(fresh.linesBeforeBarrier(), QByteArray());
    QCOMPARE(server.clientCount(), 2);

    existing.close();
    fresh.close();
    QTRY_COMPARE_WITH_TIMEOUT(server.clientCount(), 0, kWait);
    QVERIFY(messageLogged(u"Deleting PortTestHandler"_s));
    qInstallMessageHandler(previous);
}

void TestServer::serverDestroyedWithOpenConnections()
{
    const QtMessageHandler previous = qInstallMessageHandler(collectMessage);
    const quint16 held = freePort();
    auto server = std::make_unique<PortTesterServer>(QHostAddress::AnyIPv4, 0);
    QVERIFY(server->isListening());
    Client running;
    Client idle;
    QVERIFY(running.connectTo(server->serverPort()));
    QVERIFY(idle.connectTo(server->serverPort()));
    running.send(portLine("testport in tcp %1 600000\r\n", held) +
                 portLine("testport in udp %1 600000\r\n", freePort()));
    QCOMPARE(running.takeLine(), portLine("porttesting in tcp %1\r\n", held));
    QVERIFY(PortTestHandler::isPortInUse(held));
    QCOMPARE(idle.linesBeforeBarrier(), QByteArray());

    // Every worker ends, every test and socket is freed, the port is released.
    server.reset();
    QVERIFY(!PortTestHandler::isPortInUse(held));
    QVERIFY(running.waitForClosed());
    QVERIFY(idle.waitForClosed());
    QTcpServer again;
    QVERIFY(again.listen(QHostAddress::AnyIPv4, held));
    qInstallMessageHandler(previous);
}

QTEST_GUILESS_MAIN(TestServer)
#include "tst_server.moc"
