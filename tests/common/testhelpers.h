#pragma once

// Helpers shared by the tests (header only): free ports, one run of a program, a line client on
// the control port, connections made without Qt, and the real tester as a subprocess.

#include "net/peeraddress.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>
#include <vector>

namespace vxtest {

using namespace Qt::StringLiterals;

// Bound for anything that should happen soon on a shared, noisy machine.
constexpr int kPatience = 15000;

// A port free for both TCP and UDP right now (0 when none was found); it may be taken again
// before it is used.
inline quint16 freePort()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        QTcpServer tcp;
        QUdpSocket udp;
        if (tcp.listen(QHostAddress::AnyIPv4, 0) &&
            udp.bind(QHostAddress::AnyIPv4, tcp.serverPort()))
            return tcp.serverPort();
    }
    return 0;
}

// Whether ::1 can be used here; where it cannot, IPv6 cases are skipped.
inline bool hasIpv6Loopback()
{
    QUdpSocket probe;
    return probe.bind(QHostAddress::LocalHostIPv6, 0);
}

// The format with every %1 replaced by the port.
inline QByteArray withPort(QByteArray format, quint16 port)
{
    return format.replace("%1", QByteArray::number(port));
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// One run of a program to its end; the event loop turns meanwhile.
struct Run
{
    int exitCode = -1; // -1: did not start, crashed or did not end in time
    QByteArray out;
    QByteArray err;
};

// `environment` holds NAME=value entries added to this process's own (others are ignored).
inline Run run(const QString &program, const QStringList &args, const QStringList &environment = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &entry : environment) {
        if (entry.contains(u'='))
            env.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
    }
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, args);
    Run result;
    if (!process.waitForStarted(kPatience))
        return result;
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 90000)) {
        process.kill();
        process.waitForFinished(kPatience);
    } else if (process.exitStatus() == QProcess::NormalExit) {
        result.exitCode = process.exitCode();
    }
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

// One control connection seen from the client: the bytes as they arrive, CR LF included.
class Client
{
public:
    // Connected to the port, if given: a failed connection shows in every reply missing.
    explicit Client(quint16 port = 0)
    {
        if (port != 0)
            connectTo(port);
    }
    bool connectTo(quint16 port, const QHostAddress &host = QHostAddress(QHostAddress::LocalHost))
    {
        m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QObject::connect(&m_socket, &QTcpSocket::readyRead,
                         [this] { m_data += m_socket.readAll(); });
        // On the loopback the server sees the address connected to; an IPv4-mapped one as IPv4.
        m_barrier_reply = "Public IP " + plainAddress(host).toString().toLatin1() + "\r\n";
        m_socket.connectToHost(host, port);
        return m_socket.waitForConnected(kPatience);
    }
    void send(const QByteArray &data)
    {
        m_socket.write(data);
        m_socket.flush();
    }
    // The next line; empty when none came. Blocking waits, without the naps of an event-loop
    // wait, suit many quick round trips with a server in another process.
    QByteArray takeLine(bool blocking = false)
    {
        const auto arrived = [this] { return m_data.contains('\n'); };
        while (blocking && !arrived() && m_socket.waitForReadyRead(kPatience)) {
        }
        if (!(blocking ? arrived() : QTest::qWaitFor(arrived, kPatience)))
            return {};
        const QByteArray line = m_data.left(m_data.indexOf('\n') + 1);
        m_data.remove(0, line.size());
        return line;
    }
    // Sends a getpublicip and returns what arrived before its reply: every line sent earlier
    // has been handled by then.
    QByteArray linesBeforeBarrier()
    {
        send("getpublicip\r\n");
        if (!QTest::qWaitFor([&] { return m_data.endsWith(m_barrier_reply); }, kPatience))
            return "<no barrier reply>";
        return std::exchange(m_data, {}).chopped(m_barrier_reply.size());
    }
    bool isClosed() const { return m_socket.state() == QAbstractSocket::UnconnectedState; }
    bool waitForClosed()
    {
        return QTest::qWaitFor([this] { return isClosed(); }, kPatience);
    }
    void close()
    {
        m_socket.disconnectFromHost();
        waitForClosed();
    }
    QByteArray &data() { return m_data; }

private:
    QTcpSocket m_socket;
    QByteArray m_data;
    QByteArray m_barrier_reply;
};

// A connection to the loopback made without Qt, not blocking, from the loopback address given
// (host order) if any; -1 when no descriptor was left or the address could not be taken.
inline int rawConnect(quint16 port, int receiveBuffer = 0, quint32 source = 0)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const sockaddr_in from{AF_INET, 0, {htonl(source)}, {}};
    const sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (fd >= 0 && receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    if (fd >= 0 && source != 0 &&
        ::bind(fd, reinterpret_cast<const sockaddr *>(&from), sizeof(from)) != 0)
        ::close(std::exchange(fd, -1));
    if (fd >= 0)
        ::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof(to));
    return fd;
}

// Many connections opened at once and closed together.
class Flood
{
public:
    ~Flood() { closeAll(); }
    int open(quint16 port, int count)
    {
        for (int fd = 0; count-- > 0 && (fd = rawConnect(port)) >= 0;)
            m_fds.push_back(fd);
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

// The real tester (VX_TESTER) with a TMPDIR of its own, so that its debug log can be read, and
// the settings given (NAME=value). Unless they say otherwise there is no per-address limit: all
// clients of a test come from one address.
class Tester
{
public:
    explicit Tester(const QStringList &settings = {}) : m_settings(settings) {}
    ~Tester() { stop(); }
    // Its output is kept for the test to read, not shown.
    void captureOutput() { m_forward_output = false; }
    // Soft and hard descriptor limit of the process, set before it starts.
    void setDescriptorLimit(rlim_t limit)
    {
        m_process.setChildProcessModifier([limit] {
            const rlimit nofile{limit, limit};
            ::setrlimit(RLIMIT_NOFILE, &nofile);
        });
    }
    bool start(const QStringList &args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"TMPDIR"_s, m_dir.path());
        env.insert(u"VX_MAX_CONNECTIONS_PER_ADDRESS"_s, u"0"_s);
        for (const QString &entry : m_settings)
            env.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
        m_process.setProcessEnvironment(env);
        if (m_forward_output)
            m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        m_process.start(qEnvironmentVariable("VX_TESTER"), args);
        return m_process.waitForStarted(kPatience);
    }
    // Runs it in the foreground on a free control port until a connection is served; retried
    // when the port was taken meanwhile.
    bool startServing()
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            m_port = freePort();
            if (!start({u"-e"_s, QString::number(m_port)}))
                return false;
            const auto serving = [this] {
                Client probe;
                return !isRunning() ||
                       (probe.connectTo(m_port) && probe.linesBeforeBarrier().isEmpty());
            };
            // The probe's close entry comes before anything a test looks for.
            if (QTest::qWaitFor(serving, kPatience) && isRunning())
                return waitForLog("connection closed");
            m_process.waitForFinished(kPatience);
        }
        return false;
    }
    // Killed: its connections end without a goodbye.
    void stop()
    {
        m_process.kill();
        m_process.waitForFinished(kPatience);
    }
    bool isRunning() const { return m_process.state() == QProcess::Running; }
    QProcess &process() { return m_process; }
    quint16 port() const { return m_port; }
    QByteArray log() const { return readFile(m_dir.filePath(u"service-debuglog.txt"_s)); }
    qint64 mark() const { return log().size(); }
    QByteArray logSince(qint64 mark) const { return log().mid(mark); }
    bool waitForLog(const QByteArray &text, qint64 mark = 0) const
    {
        return QTest::qWaitFor([&] { return logSince(mark).contains(text); }, kPatience);
    }
    // From /proc: "Threads", "VmRSS" (KiB) of its status; "cpu" is user + system time in clock
    // ticks, "fd" its open descriptors; -1 when unknown.
    qint64 status(const QByteArray &field) const
    {
        const QString proc = u"/proc/%1/"_s.arg(m_process.processId());
        if (field == "fd")
            return QDir(proc + u"fd"_s)
                .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                .size();
        if (field == "cpu") { // after the command: utime and stime are its 12th and 13th fields
            const QList<QByteArray> stat = readFile(proc + u"stat"_s).split(')').last().split(' ');
            return stat.size() < 14 ? -1 : stat[12].toLongLong() + stat[13].toLongLong();
        }
        for (const QByteArray &line : readFile(proc + u"status"_s).split('\n')) {
            if (line.startsWith(QByteArray(field + ':')))
                return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
        }
        return -1;
    }

private:
    QStringList m_settings;
    bool m_forward_output = true;
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};

} // namespace vxtest
