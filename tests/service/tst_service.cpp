#include "../common/testhelpers.h"
#include "systemdnamespace.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>

#include <memory>

using namespace Qt::StringLiterals;
using namespace vxtest;

namespace {

const QString &s_tester_name = kTesterName;
const QString &s_tester_unit = kTesterUnit;
const QString s_child_name = u"VX Service Child"_s;
// The journal knows each service by its program's name.
const QString s_tester_id = u"vx-connectivity-tester"_s;
const QString s_child_id = u"vx-service-child"_s;
const QString s_child_unit = u"vx-service-child.service"_s;

// The sequence number ("i=") of a journal cursor.
qint64 sequenceNumber(const QString &cursor)
{
    const QRegularExpressionMatch match = QRegularExpression(u";i=([0-9a-f]+);"_s).match(cursor);
    return match.hasMatch() ? match.captured(1).toLongLong(nullptr, 16) : -1;
}

// What "-v" prints for the tester at `path`.
QByteArray version(const QString &path, const char *state)
{
    return "The service\n\t" + s_tester_name.toLatin1() + "\n\t" + path.toLatin1() + "\n\nis " +
           state + "\n\n";
}

} // namespace

// The service framework against the real systemd and journald, in a namespace of their own;
// and without any service manager at all, on the machine itself.
class tst_Service : public QObject
{
    Q_OBJECT

private:
    // The tester (or another program) run inside the namespace as root, with its debug log
    // in this test function's own temporary directory.
    Run inside(const QString &program, const QStringList &args, const QStringList &environment = {})
    {
        return m_ns->run(QStringList{u"env"_s, u"TMPDIR="_s + m_tmp} + environment +
                         QStringList{program} + args);
    }
    Run tester(const QStringList &args) { return inside(m_tester, args); }
    Run child(const QStringList &args) { return inside(QStringLiteral(SERVICE_CHILD), args); }
    Run asNobody(const QString &program, const QStringList &args)
    {
        return m_ns->runAs(65534, QStringList{u"env"_s, u"TMPDIR="_s + m_tmp, program} + args);
    }

    QByteArray debugLog() { return m_ns->readFile(m_tmp + u"/service-debuglog.txt"_s); }

    QString unitValue(const QString &unit, const QString &property)
    {
        return QString::fromUtf8(
                   m_ns->run({u"systemctl"_s, u"show"_s, u"-p"_s, property, u"--value"_s, unit})
                       .out)
            .trimmed();
    }

    bool exists(const QString &path) { return m_ns->run({u"test"_s, u"-e"_s, path}).exitCode == 0; }

    // The journal entries of one identifier since this test function began, those whose
    // message starts with `start`.
    QList<QJsonObject> journal(const QString &identifier, const QString &start = {})
    {
        // (journalctl's --after-cursor together with -t misses entries here.)
        const Run result =
            m_ns->run({u"journalctl"_s, u"--no-pager"_s, u"-o"_s, u"json"_s, u"-t"_s, identifier});
        QList<QJsonObject> entries;
        for (const QByteArray &line : result.out.split('\n')) {
            const QJsonObject entry = QJsonDocument::fromJson(line).object();
            if (!line.isEmpty() &&
                sequenceNumber(entry.value(u"__CURSOR"_s).toString()) > m_since &&
                entry.value(u"MESSAGE"_s).toString().startsWith(start))
                entries += entry;
        }
        return entries;
    }

    QStringList journalMessages(const QString &identifier)
    {
        QStringList messages;
        for (const QJsonObject &entry : journal(identifier))
            messages += entry.value(u"MESSAGE"_s).toString();
        return messages;
    }

    // The priorities of the tester's entries whose message starts so.
    QStringList priorities(const QString &start)
    {
        QStringList found;
        for (const QJsonObject &entry : journal(s_tester_id, start))
            found += entry.value(u"PRIORITY"_s).toString();
        return found;
    }

    bool waitForJournal(const QString &identifier, const QString &message)
    {
        return QTest::qWaitFor([&] { return journalMessages(identifier).contains(message); },
                               kPatience);
    }

    std::unique_ptr<SystemdNamespace> m_ns;
    QString m_why;
    QString m_tester;
    QString m_tmp;
    qint64 m_since = 0; // the journal's last entry before this test function
    std::unique_ptr<QTemporaryDir> m_blank_dir;

private Q_SLOTS:
    void initTestCase()
    {
        m_tester = qEnvironmentVariable("VX_TESTER");
        QVERIFY2(QFileInfo(m_tester).isExecutable(), "VX_TESTER must name the tester");
        m_ns = std::make_unique<SystemdNamespace>();
        if (m_ns->boot(&m_why))
            return;
        m_ns.reset();
        m_why = u"no systemd namespace here: "_s + m_why;
        // Continuous integration must run these tests, not skip them.
        if (qEnvironmentVariableIsSet("CI"))
            QFAIL(qPrintable(m_why));
        qWarning("%s", qPrintable(m_why));
    }

    void cleanupTestCase() { m_ns.reset(); }

    void init()
    {
        m_tmp = u"/tmp/"_s + QString::fromLatin1(QTest::currentTestFunction());
        // Only the rows on the machine itself run without the namespace.
        if (!m_ns && !QByteArray(QTest::currentDataTag()).startsWith("machine"))
            QSKIP(qPrintable(m_why));
        if (!m_ns)
            return;
        QCOMPARE(m_ns->run({u"mkdir"_s, u"-p"_s, u"-m"_s, u"1777"_s, m_tmp}).exitCode, 0);
        m_ns->run({u"rm"_s, u"-f"_s, m_tmp + u"/service-debuglog.txt"_s}); // a row's own log
        const QByteArray cursor =
            m_ns->run({u"journalctl"_s, u"-q"_s, u"-n"_s, u"0"_s, u"--show-cursor"_s}).out;
        m_since = sequenceNumber(QString::fromUtf8(cursor));
        QVERIFY2(m_since > 0, cursor.constData());
    }

    // Every test leaves neither service behind, whatever it did.
    void cleanup()
    {
        if (!m_ns)
            return;
        for (const QString &unit : {s_tester_unit, s_child_unit})
            m_ns->run({u"systemctl"_s, u"stop"_s, unit});
        tester({u"-u"_s});
        child({u"-u"_s});
    }

    void installAndUninstall_data()
    {
        QTest::addColumn<QString>("account");
        QTest::addColumn<QString>("user"); // expected User=, empty for none
        QTest::addColumn<bool>("installs");
        QTest::addRow("no account") << QString() << QString() << true;
        QTest::addRow("local user") << u"nobody"_s << u"nobody"_s << true;
        QTest::addRow("this machine") << u".\\nobody"_s << u"nobody"_s << true;
        QTest::addRow("domain") << u"HOST\\nobody"_s << u"nobody"_s << true;
        QTest::addRow("LocalSystem") << u"LocalSystem"_s << QString() << true;
        QTest::addRow("qualified LocalSystem")
            << u"NT AUTHORITY\\LocalSystem"_s << QString() << true;
        QTest::addRow("unknown user") << u"no-such-vx-user"_s << QString() << false;
    }

    // Installed, queried, refused a second time, uninstalled and refused again. An account
    // becomes User=; its password is accepted and never written anywhere.
    void installAndUninstall()
    {
        QFETCH(QString, account);
        QFETCH(QString, user);
        QFETCH(bool, installs);
        const QString password = u"pw-%1"_s.arg(QRandomGenerator::global()->generate64(), 0, 16);
        const QString unitFile = u"/etc/systemd/system/"_s + s_tester_unit;
        Run r = tester(account.isEmpty() ? QStringList{u"-i"_s}
                                         : QStringList{u"-i"_s, account, password});
        // grep exits 1 when nothing matches.
        QCOMPARE(m_ns->run({u"grep"_s, u"-rqsF"_s, u"--"_s, password, u"/etc/systemd"_s, u"/run"_s,
                            u"/var/log"_s})
                     .exitCode,
                 1);
        if (installs) {
            QCOMPARE(r.exitCode, 0);
            QCOMPARE(r.out, testerSaid(" has been installed under: ") + m_tester.toLatin1() + "\n");
            const QByteArray unit = m_ns->readFile(unitFile);
            // ExecStart and ExecReload show in serviceLifecycle and operatorTraps at work.
            QVERIFY2(unit.contains("\nType=notify\n"), unit.constData());
            QVERIFY(unit.contains("\nDescription=VX Connectivity Tester\n"));
            QCOMPARE(unit.contains("User="), !user.isEmpty());
            QVERIFY(user.isEmpty() ||
                    (unit.contains(QByteArray("\nUser=" + user.toUtf8() + "\n")) &&
                     unit.contains("\nAmbientCapabilities=CAP_NET_BIND_SERVICE\n")));
            QCOMPARE(unitValue(s_tester_unit, u"User"_s), user);
            QCOMPARE(unitValue(s_tester_unit, u"LoadState"_s), u"loaded"_s);
            QCOMPARE(unitValue(s_tester_unit, u"UnitFileState"_s), u"disabled"_s); // manual start
            r = tester({u"-install"_s});
            QCOMPARE(r.exitCode, 0);
            QCOMPARE(r.err, testerSaid(" is already installed\n"));
            QVERIFY(r.out.isEmpty());
            QCOMPARE(tester({u"-version"_s}).out, version(m_tester, "installed and not running"));
            r = tester({u"-u"_s});
            QCOMPARE(r.exitCode, 0);
            QCOMPARE(r.out, testerSaid(" has been uninstalled.\n"));
        } else {
            QCOMPARE(r.exitCode, 255);
            QCOMPARE(r.err, testerSaid(" could not be installed\n"));
        }
        QVERIFY(!exists(unitFile));
        QCOMPARE(unitValue(s_tester_unit, u"LoadState"_s), u"not-found"_s);
        r = tester({u"-uninstall"_s});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.err, testerSaid(" is not installed\n"));
        QCOMPARE(tester({u"-v"_s}).out, version(m_tester, "not installed and not running"));
    }

    // The tester as a systemd service, installed from a path with blanks (and a '%') to run as
    // an account: systemd runs exactly that program as that user. Started from the console with
    // a port, serving, paused and resumed, sent a command, refused a second start, stopped, with
    // its connections in the journal.
    void serviceLifecycle()
    {
        m_blank_dir = std::make_unique<QTemporaryDir>(
            QDir(QCoreApplication::applicationDirPath()).filePath(u"with blank 100%-XXXXXX"_s));
        QVERIFY(m_blank_dir->isValid());
        QFile::setPermissions(m_blank_dir->path(), QFile::permissions(m_blank_dir->path()) |
                                                       QFile::ExeOther | QFile::ReadOther);
        const QString copy = m_blank_dir->filePath(u"vx-connectivity-tester"_s);
        QVERIFY(QFile::copy(m_tester, copy));
        Run r = inside(copy, {u"-i"_s, u"nobody"_s});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.endsWith(QByteArray(": " + copy.toLatin1() + "\n")), r.out.constData());
        QVERIFY(unitValue(s_tester_unit, u"ExecStart"_s).contains(u"path="_s + copy + u" ;"_s));

        const quint16 port = freePort();
        r = tester({QString::number(port)});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.err.isEmpty());
        // The start returns once the service reports that it runs.
        QCOMPARE(unitValue(s_tester_unit, u"ActiveState"_s), u"active"_s);
        QCOMPARE(unitValue(s_tester_unit, u"StatusText"_s).section(u':', 0, 0), u"running"_s);
        QVERIFY(tester({u"-v"_s}).out.endsWith("is installed and running\n\n"));
        const QString pid = unitValue(s_tester_unit, u"MainPID"_s);
        QCOMPARE(QString::fromUtf8(
                     m_ns->run({u"stat"_s, u"-c"_s, u"%U %N"_s, u"/proc/"_s + pid + u"/exe"_s}).out)
                     .trimmed(),
                 u"nobody '/proc/%1/exe' -> '%2'"_s.arg(pid, copy));

        Client first(port);
        QCOMPARE(first.linesBeforeBarrier(), QByteArray());

        // Paused: new connections are dropped, the open one is still served.
        QCOMPARE(tester({u"-p"_s}).exitCode, 0);
        QCOMPARE(unitValue(s_tester_unit, u"StatusText"_s).section(u':', 0, 0), u"paused"_s);
        QVERIFY(tester({u"-v"_s}).out.endsWith("is installed and running\n\n"));
        Client refused;
        refused.connectTo(port);
        refused.send("getpublicip\n");
        QVERIFY(refused.waitForClosed());
        QVERIFY(refused.data().isEmpty());
        QCOMPARE(first.linesBeforeBarrier(), QByteArray());

        QCOMPARE(tester({u"-r"_s}).exitCode, 0);
        QCOMPARE(unitValue(s_tester_unit, u"StatusText"_s).section(u':', 0, 0), u"running"_s);
        Client second(port);
        QCOMPARE(second.linesBeforeBarrier(), QByteArray());

        // User commands have no effect on the tester; the service takes them and runs on.
        QCOMPARE(tester({u"-c"_s, u"5"_s}).exitCode, 0);
        QCOMPARE(unitValue(s_tester_unit, u"StatusText"_s).section(u':', 0, 0), u"running"_s);

        r = tester({QString::number(port)});
        QCOMPARE(r.exitCode, 252);
        QCOMPARE(r.err, testerSaid(" could not start\nit is already running\n"));

        second.close();
        QTRY_COMPARE_WITH_TIMEOUT(
            journalMessages(s_tester_id).count(u"PortTesterServer: client-connection closed"_s), 1,
            kPatience);
        // The refused connection was never established.
        const QString established =
            u"PortTesterServer: client-connection established from 127.0.0.1 "_s;
        QCOMPARE(priorities(established), QStringList(2, u"6"_s));
        for (const QJsonObject &e : journal(s_tester_id, established))
            QCOMPARE(e.value(u"EVENT_ID"_s).toString(), u"0x20000000"_s);

        // The stop, with a connection still open, waits until systemd has the unit stopped.
        r = tester({u"-t"_s});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(unitValue(s_tester_unit, u"ActiveState"_s), u"inactive"_s);
        QVERIFY(first.waitForClosed());
        QVERIFY(!debugLog().contains("could not be stopped"));
        QVERIFY(tester({u"-v"_s}).out.endsWith("is installed and not running\n\n"));
        QVERIFY(!Client().connectTo(port));
        // The service's own debug log went to its logs directory.
        const QByteArray serviceLog =
            m_ns->readFile(u"/var/log/vx-connectivity-tester/service-debuglog.txt"_s);
        QVERIFY(serviceLog.contains("[LOGGED Success] PortTesterServer: client-connection closed"));
        QVERIFY(serviceLog.contains("--- DEBUG LOG CLOSED ---"));
    }

    // The second service: automatic start, start arguments, every control code it gets, and
    // a stop that takes longer than the controller waits.
    void commandsAndSlowStop()
    {
        Run r = inside(QStringLiteral(SERVICE_CHILD), {u"-i"_s}, {u"VX_CHILD_STARTUP=automatic"_s});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(unitValue(s_child_unit, u"UnitFileState"_s), u"enabled"_s);
        const QString wants = u"/etc/systemd/system/multi-user.target.wants/"_s + s_child_unit;
        QCOMPARE(m_ns->run({u"test"_s, u"-L"_s, wants}).exitCode, 0); // a link

        QCOMPARE(child({u"query"_s}).out, SERVICE_CHILD "|Service framework test child|0|1|0\n");
        QCOMPARE(child({u"a"_s, u"b c"_s}).exitCode, 0);
        QCOMPARE(child({u"query"_s}).out, SERVICE_CHILD "|Service framework test child|0|1|1\n");
        QVERIFY(waitForJournal(s_child_id, u"child started: VX Service Child|a|b c"_s));
        // The arguments were consumed: nothing is left for a later start.
        QCOMPARE(m_ns->run({u"ls"_s, u"/run/vx-service-child"_s}).out, QByteArray("control\n"));

        QCOMPARE(child({u"-c"_s, u"5"_s}).exitCode, 0);
        QVERIFY(waitForJournal(s_child_id, u"child command 5"_s));
        QCOMPARE(child({u"-command"_s, u"abc"_s}).exitCode, 0);
        QVERIFY(waitForJournal(s_child_id, u"child command 0"_s));
        QCOMPARE(child({u"-c"_s, u"200"_s}).exitCode, 255); // no command code: nothing sent
        QCOMPARE(child({u"-c"_s, u"127"_s}).exitCode, 0);
        QVERIFY(waitForJournal(s_child_id, u"child command 127"_s));
        QCOMPARE(child({u"-p"_s}).exitCode, 0);
        QVERIFY(waitForJournal(s_child_id, u"child paused"_s));
        QCOMPARE(unitValue(s_child_unit, u"StatusText"_s), u"paused"_s);
        QCOMPARE(child({u"-r"_s}).exitCode, 0);
        QVERIFY(waitForJournal(s_child_id, u"child resumed"_s));
        const QStringList messages = journalMessages(s_child_id);
        QVERIFY(!messages.contains(u"child command 200"_s));
        QVERIFY(!messages.contains(u"child command 72"_s));

        // A stop that takes 4 s: the controller gives up after its wait, the stop goes on.
        QCOMPARE(child({u"-c"_s, u"7"_s}).exitCode, 0);
        QElapsedTimer timer;
        timer.start();
        r = child({u"-t"_s});
        QCOMPARE(r.exitCode, 255);
        QCOMPARE(r.err, QByteArray("The service VX Service Child could not be stopped (it is still "
                                   "stopping; the request stands)\n"));
        QVERIFY(timer.elapsed() >= 1500);
        const QByteArray log = debugLog();
        // The stop goes on after the controller gave up waiting for it.
        QVERIFY2(
            log.contains("The service could not be stopped. (Resource temporarily unavailable)"),
            log.constData());
        QVERIFY(!log.contains("stopping"));
        QTRY_COMPARE_WITH_TIMEOUT(unitValue(s_child_unit, u"ActiveState"_s), u"inactive"_s,
                                  kPatience);
        QVERIFY(journalMessages(s_child_id).contains(u"child stopping"_s));
    }

    // What the service accepts can change while it runs, and SIGINT stops it like SIGTERM.
    // Control requests that come after the event loop has ended are refused, not left to wait
    // for a receiver that no longer handles them.
    void acceptedControlsInterruptAndLateRequests()
    {
        QCOMPARE(child({u"-i"_s}).exitCode, 0);
        QCOMPARE(child({u"query"_s}).out, SERVICE_CHILD "|Service framework test child|1|1|0\n");
        QCOMPARE(child({u"no-pause"_s}).exitCode, 0);
        QVERIFY(waitForJournal(s_child_id, u"child started: VX Service Child|no-pause"_s));
        QCOMPARE(child({u"-p"_s}).exitCode, 255); // refused: it cannot be paused now
        QCOMPARE(child({u"-c"_s, u"3"_s}).exitCode, 0);
        QVERIFY(waitForJournal(s_child_id, u"child command 3"_s));
        QCOMPARE(unitValue(s_child_unit, u"StatusText"_s), u"running"_s);
        QCOMPARE(m_ns->run({u"systemctl"_s, u"kill"_s, u"--kill-whom=main"_s, u"-s"_s, u"SIGINT"_s,
                            s_child_unit})
                     .exitCode,
                 0);
        QTRY_COMPARE_WITH_TIMEOUT(unitValue(s_child_unit, u"ActiveState"_s), u"inactive"_s,
                                  kPatience);
        QVERIFY(journalMessages(s_child_id).contains(u"child stopping"_s));
        QCOMPARE(unitValue(s_child_unit, u"Result"_s), u"success"_s);

        QCOMPARE(child({}).exitCode, 0);
        // Command 9 ends the event loop and keeps the process 3 s longer.
        QCOMPARE(child({u"-c"_s, u"9"_s}).exitCode, 0);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(child({u"-p"_s}).exitCode, 255);
        // Far less than the 30 s a controller would wait for an answer that never comes.
        QVERIFY2(timer.elapsed() < 20000, qPrintable(QString::number(timer.elapsed())));
        QTRY_COMPARE_WITH_TIMEOUT(unitValue(s_child_unit, u"ActiveState"_s), u"inactive"_s,
                                  kPatience);
        QVERIFY(journalMessages(s_child_id).contains(u"child command 9"_s));
        QVERIFY(!journalMessages(s_child_id).contains(u"child paused"_s));
        QCOMPARE(unitValue(s_child_unit, u"Result"_s), u"success"_s);
        QCOMPARE(child({u"-u"_s}).exitCode, 0);
        QCOMPARE(child({u"query"_s}).out, QByteArray("||1|0|0\n"));
    }

    // A port in use: the start fails, and the error reaches the journal as an error, with its
    // reason.
    void bindFailureIsLogged()
    {
        QTcpServer occupier;
        QTcpServer second; // gets the reason the tester gets
        QVERIFY(occupier.listen(QHostAddress::AnyIPv4, 0));
        QVERIFY(!second.listen(QHostAddress::AnyIPv4, occupier.serverPort()));
        const QString port = QString::number(occupier.serverPort());
        QCOMPARE(tester({u"-i"_s}).exitCode, 0);
        const Run r = tester({port});
        QCOMPARE(r.exitCode, 252);
        QCOMPARE(r.err,
                 testerSaid(" could not start\nit stopped while starting; the system log has the "
                            "reason (journalctl -u ") +
                     s_tester_unit.toLatin1() + ")\n");
        const QString message = u"Failed to bind to port %1: %2"_s.arg(port, second.errorString());
        QVERIFY(waitForJournal(s_tester_id, message));
        const QJsonObject entry = journal(s_tester_id).first();
        QCOMPARE(entry.value(u"MESSAGE"_s).toString(), message);
        QCOMPARE(entry.value(u"PRIORITY"_s).toString(), u"3"_s);
        QCOMPARE(entry.value(u"EVENT_ID"_s).toString(), u"0xE0000000"_s);
        QCOMPARE(entry.value(u"EVENT_CATEGORY"_s).toString(), u"0"_s);
        // Not waiting to be restarted later without its arguments: a start that failed leaves
        // the service stopped, failed as a start by systemctl leaves it.
        QCOMPARE(unitValue(s_tester_unit, u"ActiveState"_s), u"failed"_s);
        QCOMPARE(unitValue(s_tester_unit, u"ExecMainStatus"_s), u"69"_s);
        QCOMPARE(unitValue(s_tester_unit, u"NRestarts"_s), u"0"_s);
    }

    // What an operator meets: the port kept in the unit's environment file serves every start;
    // a taken port fails the unit once and for good, naming the port; systemctl status shows the
    // ports and the work under way; reload and SIGHUP reopen the debug log and never end the
    // service; a crashed service comes back on its port; a reload after a bad edit fails, naming
    // the setting; connection lines stay below notice; an unusable setting or log folder refuses
    // the start for good.
    void operatorTraps()
    {
        // A file system of the namespace's own: the machine's /etc/default stays untouched.
        QCOMPARE(
            m_ns->run({u"mount"_s, u"-t"_s, u"tmpfs"_s, u"tmpfs"_s, u"/etc/default"_s}).exitCode,
            0);
        const auto unmount = qScopeGuard([this] { m_ns->run({u"umount"_s, u"/etc/default"_s}); });
        const auto settings = [this](const QString &lines) {
            return m_ns->run({u"sh"_s, u"-c"_s,
                              u"printf '%s\\n' "_s + lines +
                                  u" > /etc/default/vx-connectivity-tester"_s})
                       .exitCode == 0;
        };
        const auto systemctl = [this](const QString &verb) {
            return m_ns->run({u"systemctl"_s, verb, s_tester_unit});
        };
        QTcpServer occupier;
        QVERIFY(occupier.listen(QHostAddress::AnyIPv4, 0));
        const QString control = QString::number(freePort());
        const QString web = QString::number(occupier.serverPort());
        const QString listening = u"listening on port "_s + control;
        QVERIFY(settings(u"VX_CONTROL_PORT="_s + control + u" VX_HTTP_PORT="_s + web));
        QCOMPARE(tester({u"-i"_s}).exitCode, 0);

        QVERIFY(systemctl(u"start"_s).exitCode != 0);
        QTRY_COMPARE_WITH_TIMEOUT(unitValue(s_tester_unit, u"ActiveState"_s), u"failed"_s,
                                  kPatience);
        QTest::qWait(5000); // longer than RestartSec: no restart comes
        QCOMPARE(unitValue(s_tester_unit, u"ActiveState"_s), u"failed"_s);
        QCOMPARE(unitValue(s_tester_unit, u"NRestarts"_s), u"0"_s);
        QCOMPARE(unitValue(s_tester_unit, u"ExecMainStatus"_s), u"69"_s);
        const QByteArray status = systemctl(u"status"_s).out;
        QVERIFY2(status.contains(QByteArray("Failed to bind to HTTP port " + web.toLatin1())),
                 status.constData());
        // Nothing was announced: the control port listened, but not every port did.
        QVERIFY(!journalMessages(s_tester_id).contains(listening));

        occupier.close();
        QCOMPARE(tester({}).exitCode, 0);
        QString pid = unitValue(s_tester_unit, u"MainPID"_s);
        QVERIFY(waitForJournal(s_tester_id, listening));
        const QString ports = u"running: control port "_s + control + u", web port "_s + web;
        QCOMPARE(unitValue(s_tester_unit, u"StatusText"_s),
                 ports + u"; 0 control connections, 0 tests under way"_s);
        Client client(control.toUShort());
        const quint16 testPort = freePort();
        client.send(withPort("testport in tcp %1 600000\n", testPort));
        QCOMPARE(client.takeLine(), withPort("porttesting in tcp %1\r\n", testPort));
        QTRY_COMPARE_WITH_TIMEOUT(unitValue(s_tester_unit, u"StatusText"_s),
                                  ports + u"; 1 control connection, 1 test under way"_s, kPatience);

        // The log moved away (as logrotate does) is let go at reload; a fresh one takes over.
        const QString log = u"/var/log/vx-connectivity-tester/service-debuglog.txt"_s;
        QCOMPARE(m_ns->run({u"mv"_s, log, log + u".old"_s}).exitCode, 0);
        QCOMPARE(systemctl(u"reload"_s).exitCode, 0);
        const QString reopened = u"SIGHUP: reopened the debug log "_s + log +
                                 u"; settings take effect at the next restart"_s;
        QVERIFY(waitForJournal(s_tester_id, reopened));
        QVERIFY(m_ns->readFile(log + u".old"_s).endsWith("--- DEBUG LOG CLOSED ---\n\n"));
        QVERIFY(m_ns->readFile(log).contains("--- DEBUG LOG OPENED ---"));
        QCOMPARE(m_ns->run({u"kill"_s, u"-HUP"_s, pid}).exitCode, 0);
        QTRY_COMPARE_WITH_TIMEOUT(journalMessages(s_tester_id).count(reopened), 2, kPatience);
        QCOMPARE(client.linesBeforeBarrier(), QByteArray());

        // Connection events are info: "-p notice" shows none of them, the identifier all.
        client.close();
        QVERIFY(waitForJournal(s_tester_id, u"PortTesterServer: client-connection closed"_s));
        const QStringList connections = priorities(u"PortTesterServer: client-connection"_s);
        QVERIFY(!connections.isEmpty());
        QCOMPARE(connections.count(u"6"_s), connections.size());
        const QByteArray notice = m_ns->run({u"journalctl"_s, u"--no-pager"_s, u"-t"_s, s_tester_id,
                                             u"-p"_s, u"notice"_s})
                                      .out;
        QVERIFY2(notice.contains("SIGHUP: reopened") && !notice.contains("client-connection"),
                 notice.constData());

        // Killed, it comes back on the port of the environment file.
        QCOMPARE(m_ns->run({u"kill"_s, u"-9"_s, pid}).exitCode, 0);
        QTRY_COMPARE_WITH_TIMEOUT(unitValue(s_tester_unit, u"NRestarts"_s), u"1"_s, kPatience);
        QTRY_COMPARE_WITH_TIMEOUT(unitValue(s_tester_unit, u"StatusText"_s).section(u':', 0, 0),
                                  u"running"_s, kPatience);
        pid = unitValue(s_tester_unit, u"MainPID"_s);
        QCOMPARE(Client(control.toUShort()).linesBeforeBarrier(), QByteArray());
        QCOMPARE(journalMessages(s_tester_id).count(listening), 2);

        // A bad edit: the reload fails and names it; the service runs on as it was.
        QVERIFY(settings(u"VX_CONTROL_PORT="_s + control + u" VX_MAX_TEST_TIME_MS=soon"_s));
        QVERIFY(systemctl(u"reload"_s).exitCode != 0);
        QVERIFY(waitForJournal(s_tester_id, u"VX_MAX_TEST_TIME_MS: \"soon\" is not a number of "
                                            "milliseconds (0 to 2147483647; 0: no limit)"_s));
        QCOMPARE(unitValue(s_tester_unit, u"ActiveState"_s), u"active"_s);
        QCOMPARE(unitValue(s_tester_unit, u"MainPID"_s), pid);
        QCOMPARE(Client(control.toUShort()).linesBeforeBarrier(), QByteArray());

        // An unusable setting, or a log folder that does not exist or that the sandbox keeps
        // read-only: the start stops before anything listens, says why in the journal at error
        // priority, and ends with the status no restart retries.
        QCOMPARE(tester({u"-t"_s}).exitCode, 0);
        for (const auto &[setting, complaint] :
             {std::pair{u"VX_HTTP_PORT=8o80"_s,
                        u"VX_HTTP_PORT: \"8o80\" is not a port number (1 to 65535)"_s},
              std::pair{u"VX_DEBUGLOG_DIR=/nonexistent"_s,
                        u"VX_DEBUGLOG_DIR: \"/nonexistent\" is not a folder the service can "
                        "write to ("_s},
              std::pair{
                  u"VX_DEBUGLOG_DIR=/usr"_s,
                  u"VX_DEBUGLOG_DIR: \"/usr\" is not a folder the service can write to ("_s}}) {
            QVERIFY(settings(u"VX_CONTROL_PORT="_s + control + u' ' + setting));
            QCOMPARE(tester({}).exitCode, 252);
            QVERIFY(QTest::qWaitFor([&] { return !priorities(complaint).isEmpty(); }, kPatience));
            QCOMPARE(priorities(complaint), QStringList{u"3"_s});
            QCOMPARE(unitValue(s_tester_unit, u"ExecMainStatus"_s), u"78"_s);
            QCOMPARE(unitValue(s_tester_unit, u"ActiveState"_s), u"failed"_s);
            QCOMPARE(unitValue(s_tester_unit, u"NRestarts"_s), u"0"_s);
        }
        QVERIFY(!Client().connectTo(control.toUShort()));
        QCOMPARE(journalMessages(s_tester_id).count(listening), 2);
    }

    // Where an option cannot work, it changes nothing: on this machine, which no systemd runs
    // (the controller fails there as a whole); in the namespace, with the tester not installed,
    // installed and stopped, or running while an unprivileged user asks.
    void refusals_data()
    {
        QTest::addColumn<QString>("where"); // machine, absent, stopped or running
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArrayList>("logged"); // in this order
        const auto row = [](const char *where, const QStringList &args, int exitCode,
                            const QByteArray &err = {}, const QByteArrayList &logged = {},
                            const QByteArray &out = {}) {
            QTest::addRow("%s: %s", where, qPrintable(args.join(u' ')))
                << QString::fromLatin1(where) << args << exitCode << err << out << logged;
        };
        const QByteArray noUnit = "The service could not be stopped. (No such file or directory)";
        for (const char *where : {"machine", "absent"}) {
            const QByteArray why = where == QByteArray("machine") ? "no service manager runs here"
                                                                  : "it is not installed";
            row(where, {u"-t"_s}, 255, testerSaid(" could not be stopped (") + why + ")\n",
                {"CRITICAL: " + noUnit + '\n'});
            row(where, {u"-p"_s}, 255, testerSaid(" could not be paused (") + why + ")\n");
            row(where, {u"-r"_s}, 255, testerSaid(" could not be resumed (") + why + ")\n");
            row(where, {u"-c"_s, u"5"_s}, 255,
                testerSaid(" could not be sent the command (") + why + ")\n");
            row(where, {}, 252, testerSaid(" could not start\n") + why + '\n');
        }
        row("machine", {u"-i"_s}, 255, testerSaid(" could not be installed\n"));
        row("machine", {u"-install"_s, u"nobody"_s, u"secret"_s}, 255,
            testerSaid(" could not be installed\n"));
        row("machine", {u"-v"_s}, 0, {}, {}, version(m_tester, "not installed and not running"));
        row("stopped", {u"-t"_s}, 255, testerSaid(" could not be stopped (it is not running)\n"),
            {"CRITICAL: stopping (No such process)\n",
             "The service could not be stopped. (No such process)\n"});
        row("stopped", {u"-p"_s}, 255, testerSaid(" could not be paused (it is not running)\n"));
        row("stopped", {u"-c"_s, u"500"_s}, 255,
            testerSaid(
                " could not be sent the command (500 is no command code: they are 0 to 127)\n"));
        row("running", {u"-i"_s}, 255, testerSaid(" could not be installed\n"));
        row("running", {u"-t"_s}, 255);
        row("running", {u"-p"_s}, 255);
        row("running", {u"-u"_s}, 0);
        row("running", {}, 252);
    }

    void refusals()
    {
        QFETCH(QString, where);
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, err);
        QFETCH(QByteArray, out);
        QFETCH(QByteArrayList, logged);
        Run r;
        QByteArray log;
        if (where == u"machine"_s) {
            if (QFileInfo::exists(u"/run/systemd/system"_s))
                QSKIP("systemd runs this machine; its services are not for tests to change");
            QTemporaryDir tmp;
            r = vxtest::run(m_tester, args, {u"TMPDIR="_s + tmp.path()});
            log = readFile(tmp.filePath(u"service-debuglog.txt"_s));
        } else {
            if (where != u"absent"_s)
                QCOMPARE(tester({u"-i"_s}).exitCode, 0);
            if (where == u"running"_s)
                QCOMPARE(tester({QString::number(freePort())}).exitCode, 0);
            r = where == u"running"_s ? asNobody(m_tester, args) : tester(args);
            log = debugLog();
        }
        QCOMPARE(r.exitCode, exitCode);
        if (where != u"running"_s || !err.isEmpty()) {
            QCOMPARE(r.err, err);
            QCOMPARE(r.out, out);
        }
        qsizetype at = 0;
        for (const QByteArray &line : logged) {
            QVERIFY2((at = log.indexOf(line, at)) >= 0, log.constData());
        }
        // No request was made, so none could fail as "stopping".
        QCOMPARE(log.contains("stopping ("), logged.join().contains("stopping ("));
        if (where == u"running"_s) {
            QCOMPARE(unitValue(s_tester_unit, u"ActiveState"_s), u"active"_s);
            QCOMPARE(unitValue(s_tester_unit, u"StatusText"_s).section(u':', 0, 0), u"running"_s);
            QCOMPARE(unitValue(s_tester_unit, u"LoadState"_s), u"loaded"_s);
        } else if (where == u"stopped"_s) {
            QCOMPARE(unitValue(s_tester_unit, u"ActiveState"_s), u"inactive"_s);
        }
    }
};

QTEST_GUILESS_MAIN(tst_Service)
#include "tst_service.moc"
