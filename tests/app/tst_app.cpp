#include <QDir>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace Qt::StringLiterals;

// The real executable: its help, its default and odd control ports, and how a foreground run
// ends.
class tst_App : public QObject
{
    Q_OBJECT

private:
    QString m_tester = qEnvironmentVariable("VX_TESTER");
    std::unique_ptr<QTemporaryDir> m_dir;

    QByteArray readLog() const
    {
        QFile file(m_dir->filePath(u"service-debuglog.txt"_s));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    void startTester(QProcess &process, const QStringList &args)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"TMPDIR"_s, m_dir->path());
        process.setProcessEnvironment(environment);
        process.start(m_tester, args);
        QVERIFY(process.waitForStarted());
    }

    // TCP ports the process listens on, from its socket descriptors and /proc/net/tcp.
    static QList<quint16> listeningPorts(qint64 pid)
    {
        QSet<QString> inodes;
        const QDir fds(u"/proc/%1/fd"_s.arg(pid));
        for (const QFileInfo &fd : fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot)) {
            const QString target = fd.symLinkTarget().section(u'/', -1);
            if (target.startsWith(u"socket:["_s))
                inodes.insert(target.mid(8).chopped(1));
        }
        QList<quint16> ports;
        QFile table(u"/proc/net/tcp"_s);
        if (!table.open(QIODevice::ReadOnly))
            return ports;
        for (const QByteArray &line : table.readAll().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (f.size() > 9 && f.at(3) == "0A" && inodes.contains(QString::fromLatin1(f.at(9))))
                ports.append(f.at(1).split(':').value(1).toUShort(nullptr, 16));
        }
        return ports;
    }

    static QByteArray ask(quint16 port, const QByteArray &line)
    {
        QTcpSocket socket;
        socket.connectToHost(u"127.0.0.1"_s, port);
        if (!socket.waitForConnected(10000))
            return QByteArray();
        socket.write(line);
        while (!socket.canReadLine() && socket.waitForReadyRead(10000)) {
        }
        return socket.readLine();
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY2(QFile::exists(m_tester), "VX_TESTER must name the executable"); }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void helpTextAndExitCode()
    {
        QProcess process;
        startTester(process, {u"-h"_s});
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(QString::fromLatin1(process.readAllStandardOutput()),
                 u"\n"_s + m_tester +
                     u" -[i|u|e|s|v|h]\n"
                     "\t-i(nstall) [account] [password]\t: Install the service, optionally "
                     "using given account and password\n"
                     "\t-u(ninstall)\t: Uninstall the service.\n"
                     "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
                     "\t-t(erminate)\t: Stop the service.\n"
                     "\t-c(ommand) num\t: Send command code num to the service.\n"
                     "\t-v(ersion)\t: Print version and status information.\n"
                     "\t-h(elp)   \t: Show this help\n"
                     "\tNo arguments\t: Start the service.\n"_s);
        QVERIFY(process.readAllStandardError().isEmpty());
    }

    void controlPortArgument_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("default port, SIGINT") << QStringList{u"-e"_s} << SIGINT;
        QTest::newRow("abc, SIGTERM") << QStringList{u"-e"_s, u"abc"_s} << SIGTERM;
        QTest::newRow("70000, SIGINT") << QStringList{u"-exec"_s, u"70000"_s, u"1"_s} << SIGINT;
        QTest::newRow("-1, SIGTERM") << QStringList{u"-e"_s, u"-1"_s} << SIGTERM;
    }

    // The default port is the well-known one; a malformed port gives port 0, so the system
    // picks one. Either way the run serves, and a signal ends it cleanly.
    void controlPortArgument()
    {
        QFETCH(QStringList, args);
        QFETCH(int, signalNumber);
        const bool defaultPort = args.size() == 1;
        if (defaultPort) {
            QTcpSocket probe;
            probe.connectToHost(u"127.0.0.1"_s, 32889);
            if (probe.waitForConnected(2000))
                QSKIP("something already serves port 32889 on this machine");
        }
        QProcess process;
        startTester(process, args);
        QList<quint16> ports;
        QVERIFY(QTest::qWaitFor(
            [&] {
                ports = listeningPorts(process.processId());
                return !ports.isEmpty();
            },
            30000));
        QCOMPARE(ports.size(), 1);
        if (defaultPort)
            QCOMPARE(ports.first(), quint16(32889));
        else
            QVERIFY(ports.first() != 32889 && ports.first() != 0);
        QCOMPARE(ask(ports.first(), "getpublicip\n"), "Public IP 127.0.0.1\r\n");

        ::kill(pid_t(process.processId()), signalNumber);
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QVERIFY2(readLog().endsWith("--- DEBUG LOG CLOSED ---\n\n"), readLog().constData());
    }
};

QTEST_GUILESS_MAIN(tst_App)
#include "tst_app.moc"
