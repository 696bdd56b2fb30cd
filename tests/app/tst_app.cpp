#include "../common/testhelpers.h"

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
    // picks one. Either way the run serves, and a signal ends it cleanly, with a test running
    // and another connection idle: every worker winds down, every connection closes.
    void controlPortArgument()
    {
        QFETCH(QStringList, args);
        QFETCH(int, signalNumber);
        const bool defaultPort = args.size() == 1;
        if (defaultPort && Client().connectTo(32889))
            QSKIP("something already serves port 32889 on this machine");
        Tester tester;
        QVERIFY(tester.start(args));
        QList<quint16> ports;
        QVERIFY(QTest::qWaitFor(
            [&] { return !(ports = listeningPorts(tester.process().processId())).isEmpty(); },
            kPatience));
        QCOMPARE(ports.size(), 1);
        QVERIFY(defaultPort ? ports.first() == 32889 : ports.first() != 32889);
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
