#include "../common/testhelpers.h"

#include <QTcpServer>

#include <csignal>

using namespace vxtest;

namespace {
// TCP ports the process listens on, from its socket descriptors and /proc/net/tcp and tcp6.
QList<quint16> listeningPorts(qint64 pid)
{
    QByteArrayList inodes; // of its sockets: "socket:[inode]"
    for (const QFileInfo &fd : QDir(u"/proc/%1/fd"_s.arg(pid)).entryInfoList(QDir::System))
        inodes += fd.symLinkTarget().section(u'[', 1).section(u']', 0, 0).toLatin1();
    QList<quint16> ports;
    const QByteArray table = readFile(u"/proc/net/tcp"_s) + readFile(u"/proc/net/tcp6"_s);
    for (const QByteArray &line : table.split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() > 9 && f.at(3) == "0A" && inodes.contains(f.at(9)))
            ports.append(f.at(1).split(':').value(1).toUShort(nullptr, 16));
    }
    return ports;
}
} // namespace

// The real executable: its default and odd control ports, and how a foreground run ends.
class tst_App : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Command lines that must not start anything: the exact line on stderr and the status.
    // Nothing listens afterwards: the run ended before its listeners were opened.
    void refusedCommandLines_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("settings");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("err"); // %p: the program as called
        const auto row = [](const QStringList &args, const QStringList &settings, int exitCode,
                            const char *err) {
            QTest::addRow("%s %s", qPrintable(settings.join(u' ')), qPrintable(args.join(u' ')))
                << args << settings << exitCode << QByteArray(err);
        };
        const char *const usage = "unknown option '%1' (%p -h lists the options)\n";
        for (const char *option : {"--bogus", "-V", "--e", "-"})
            row({QString::fromLatin1(option)}, {}, 2,
                QByteArray(usage).replace("%1", option).constData());
        for (const char *run : {"-e", "--exec"})
            row({QString::fromLatin1(run), u"16001"_s, u"extra"_s}, {}, 2,
                "unexpected argument 'extra' (%p -h lists the options)\n");
        row({u"16001"_s, u"extra"_s}, {}, 2,
            "unexpected argument 'extra' (%p -h lists the options)\n");
        row({u"-e"_s}, {u"VX_DEBUGLOG_DIR=/nonexistent"_s}, 78,
            "VX_DEBUGLOG_DIR: \"/nonexistent\" is not a folder the service can write to (No such "
            "file or directory)\n");
        row({u"-e"_s}, {u"VX_DEBUGLOG_DIR=logs"_s}, 78,
            "VX_DEBUGLOG_DIR: \"logs\" is not a folder the service can write to (not an absolute "
            "path)\n");
        row({u"-e"_s}, {u"VX_DEBUGLOG_DIR=/dev/null"_s}, 78,
            "VX_DEBUGLOG_DIR: \"/dev/null\" is not a folder the service can write to (not a "
            "folder)\n");
        row({u"-e"_s, u"4200x"_s}, {}, 78,
            "port argument: \"4200x\" is not a port number (0 to 65535; 0: any free port)\n");
        row({u"-e"_s, u"70000"_s}, {}, 78,
            "port argument: \"70000\" is not a port number (0 to 65535; 0: any free port)\n");
        row({u"-e"_s}, {u"VX_HTTP_PORT=8o80"_s, u"VX_HTTP_CHECKS_PER_MINUTE=30/s"_s}, 78,
            "VX_HTTP_PORT: \"8o80\" is not a port number (1 to 65535)\nVX_HTTP_CHECKS_PER_MINUTE: "
            "\"30/s\" is not a number of checks (0 to 1000000; 0: no limit)\n");
        row({u"-e"_s}, {u"VX_CONTROL_PORT=abc"_s}, 78,
            "VX_CONTROL_PORT: \"abc\" is not a port number (0 to 65535; 0: any free port)\n");
        row({u"-e"_s}, {u"VX_MAX_CONNECTIONS_PER_ADDRESS=lots"_s}, 78,
            "VX_MAX_CONNECTIONS_PER_ADDRESS: \"lots\" is not a number of connections (0 to "
            "2147483647; 0: no limit)\n");
        row({u"-e"_s}, {u"VX_MAX_TEST_TIME_MS=-5"_s, u"VX_DEBUGLOG_MAX_BYTES=1e6"_s}, 78,
            "VX_DEBUGLOG_MAX_BYTES: \"1e6\" is not a byte count (0 to 9223372036854775807; 0: no "
            "bound)\nVX_MAX_TEST_TIME_MS: \"-5\" is not a number of milliseconds (0 to 2147483647; "
            "0: no limit)\n");
        row({u"-e"_s}, {u"VX_CONTROL_IDLE_TIMEOUT_S=2m"_s, u"VX_CONTROL_TESTS_PER_MINUTE=-1"_s}, 78,
            "VX_CONTROL_IDLE_TIMEOUT_S: \"2m\" is not a number of seconds (0 to 86400; 0: no "
            "limit)\nVX_CONTROL_TESTS_PER_MINUTE: \"-1\" is not a number of tests (0 to 1000000; "
            "0: no limit)\n");
        row({u"-e"_s}, {u"VX_TRUSTED_PROXIES=127.0.0.1, 127.1"_s}, 78,
            "VX_TRUSTED_PROXIES: \"127.0.0.1, 127.1\" is not a list of addresses (IPv4 or IPv6, "
            "comma-separated)\n");
        for (const char *listen :
             {"::1:9464", "localhost:9464", "[127.0.0.1]:9464", "127.0.0.1:09464"})
            row({u"-e"_s}, {u"VX_METRICS_LISTEN="_s + QLatin1StringView(listen)}, 78,
                QByteArray("VX_METRICS_LISTEN: \"" + QByteArray(listen) +
                           "\" is not an address and port (such as 127.0.0.1:9464 or [::1]:9464; "
                           "port 0: any free port)\n")
                    .constData());
        row({u"-e"_s}, {u"VX_CONTROL_PORT=\x1b[2K"_s}, 78,
            "VX_CONTROL_PORT: \"\\x1b[2K\" is not a port number (0 to 65535; 0: any free "
            "port)\n");
    }

    void refusedCommandLines()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, settings);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, err);
        QTemporaryDir tmp;
        const QString tester = qEnvironmentVariable("VX_TESTER");
        const Run r = run(tester, args, settings + QStringList{u"TMPDIR="_s + tmp.path()});
        QCOMPARE(r.err, err.replace("%p", tester.toLocal8Bit()));
        QCOMPARE(r.exitCode, exitCode);
        QCOMPARE(r.out, QByteArray());
        const QByteArray log = readFile(tmp.filePath(u"service-debuglog.txt"_s));
        QVERIFY2(!log.contains("listening on port"), log.constData());
        // Each refused setting is a system-log event of its own.
        QCOMPARE(log.count("[LOGGED Error] "), exitCode == 78 ? err.count('\n') : 0);
        if (exitCode != 78)
            return;
        // The settings check reads them as the start does and says the same, starting nothing.
        QTemporaryDir checkTmp;
        const Run check = run(tester, QStringList{u"--check-settings"_s} + args.mid(1),
                              settings + QStringList{u"TMPDIR="_s + checkTmp.path()});
        QCOMPARE(check.err, err);
        QCOMPARE(check.exitCode, 78);
        QCOMPARE(check.out, QByteArray());
        QVERIFY(!QFile::exists(checkTmp.filePath(u"service-debuglog.txt"_s)));
    }

    // The settings check with nothing wrong, and with more than it takes.
    void checkSettingsUsable()
    {
        const QString tester = qEnvironmentVariable("VX_TESTER");
        QTemporaryDir tmp;
        Run r = run(tester, {u"--check-settings"_s, u"0"_s},
                    {u"VX_HTTP_PORT=8080"_s, u"VX_DEBUGLOG_DIR="_s + tmp.path()});
        QCOMPARE(r.out, QByteArray("settings: usable\n"));
        QCOMPARE(r.err, QByteArray());
        QCOMPARE(r.exitCode, 0);
        QVERIFY(!QFile::exists(tmp.filePath(u"service-debuglog.txt"_s)));
        r = run(tester, {u"--check-settings"_s, u"1"_s, u"2"_s});
        QCOMPARE(r.exitCode, 2);
        QVERIFY(r.err.startsWith("unexpected argument '2'"));
    }

    void versionAndHelp()
    {
        const QString tester = qEnvironmentVariable("VX_TESTER");
        const Run version = run(tester, {u"--version"_s});
        QCOMPARE(version.out, QByteArray("vx-connectivity-tester " VX_VERSION "\n"));
        QCOMPARE(version.exitCode, 0);
        const Run shortHelp = run(tester, {u"-h"_s});
        const Run longHelp = run(tester, {u"--help"_s});
        QCOMPARE(shortHelp.exitCode, 0);
        QCOMPARE(longHelp.exitCode, 0);
        // --help keeps -h's words and adds what they leave out.
        QVERIFY(longHelp.out.startsWith(shortHelp.out));
        for (const char *more :
             {"-p(ause)", "-r(esume)", "VX_HTTP_PORT", "vx-connectivity-tester(8)"})
            QVERIFY2(longHelp.out.contains(more) && !shortHelp.out.contains(more), more);
    }

    void controlPortArgument_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("default port, SIGINT") << QStringList{u"-e"_s} << SIGINT;
        QTest::newRow("0: any free port, SIGTERM") << QStringList{u"-e"_s, u"0"_s} << SIGTERM;
        QTest::newRow("0, the terminal closes") << QStringList{u"--exec"_s, u"0"_s} << SIGHUP;
    }

    // The default port is the well-known one; 0 lets the system pick one, and the run says
    // which. Either way the run serves, and a signal ends it cleanly, with a test running and
    // another connection idle: every worker winds down, every connection closes.
    void controlPortArgument()
    {
        QFETCH(QStringList, args);
        QFETCH(int, signalNumber);
        const bool defaultPort = args.size() == 1;
        if (defaultPort && Client().connectTo(32889))
            QSKIP("something already serves port 32889 on this machine");
        // Floods in other tests leave client sockets in TIME_WAIT whose ephemeral port may be
        // 32889 for a minute; the tester could not bind it then either.
        if (defaultPort && !QTcpServer().listen(QHostAddress::Any, 32889))
            QSKIP("port 32889 cannot be listened on at the moment");
        Tester tester;
        tester.captureOutput();
        QVERIFY(tester.start(args));
        QList<quint16> ports;
        QVERIFY(QTest::qWaitFor(
            [&] { return !(ports = listeningPorts(tester.process().processId())).isEmpty(); },
            kPatience));
        QCOMPARE(ports.size(), 1);
        QVERIFY(defaultPort ? ports.first() == 32889 : ports.first() != 32889);
        const QByteArray said = "listening on port " + QByteArray::number(ports.first()) + '\n';
        QByteArray err;
        QTRY_COMPARE_WITH_TIMEOUT(err += tester.process().readAllStandardError(), said, kPatience);
        Client busy(ports.first());
        Client idle(ports.first());
        const quint16 port = freePort();
        busy.send(withPort("testport in tcp %1 600000\r\ntestport out udp %1 600000\r\n", port));
        QCOMPARE(busy.takeLine(), withPort("porttesting in tcp %1\r\n", port));
        QCOMPARE(idle.linesBeforeBarrier(), QByteArray());

        ::kill(pid_t(tester.process().processId()), signalNumber);
        QVERIFY(tester.process().waitForFinished(kPatience));
        QCOMPARE(tester.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(tester.process().exitCode(), 0);
        QVERIFY(busy.waitForClosed() && idle.waitForClosed());
        QVERIFY2(tester.log().endsWith("--- DEBUG LOG CLOSED ---\n\n"), tester.log().constData());
    }
};

QTEST_GUILESS_MAIN(tst_App)
#include "tst_app.moc"
