#include "../common/testhelpers.h"
#include "../service/systemdnamespace.h"
#include "service/qtservicesystemdunit.h"

#include <QRegularExpression>

#include <memory>

using namespace Qt::StringLiterals;
using namespace vxtest;

namespace {

const QString &s_unit = kTesterUnit;
const QString s_tester = u"/usr/sbin/vx-connectivity-tester"_s;
const QString s_check = u"/usr/bin/vx-connectivity-check"_s;
const QString s_dropin = u"/etc/systemd/system/vx-connectivity-tester.service.d"_s;

// "Overall exposure level for x.service: 1.4 OK" as a number; -1 when there is none.
double exposure(const QByteArray &analysis)
{
    const QRegularExpressionMatch match =
        QRegularExpression(u"Overall exposure level for \\S+: ([0-9.]+)"_s)
            .match(QString::fromUtf8(analysis));
    return match.hasMatch() ? match.captured(1).toDouble() : -1;
}

// A port below 1024 that nothing on this machine listens on right now.
quint16 freePrivilegedPort()
{
    for (quint16 port = 1023; port >= 900; --port) {
        QTcpServer server;
        if (server.listen(QHostAddress::Any, port))
            return port;
    }
    return 0;
}

} // namespace

class tst_Package : public QObject
{
    Q_OBJECT

private:
    Run inside(const QStringList &command) { return m_ns->run(command); }
    Run tester(const QStringList &args) { return inside(QStringList{s_tester} + args); }
    QString unitValue(const QString &property)
    {
        return QString::fromUtf8(
                   inside({u"systemctl"_s, u"show"_s, u"-p"_s, property, u"--value"_s, s_unit}).out)
            .trimmed();
    }
    bool exists(const QString &path) { return inside({u"test"_s, u"-e"_s, path}).exitCode == 0; }
    int listeningEntries()
    {
        const QByteArray journal = inside({u"journalctl"_s, u"--no-pager"_s, u"-o"_s, u"cat"_s,
                                           u"-t"_s, u"vx-connectivity-tester"_s})
                                       .out;
        return int(journal.count("listening on port "));
    }
    Run dpkg(const QStringList &args)
    {
        const Run r =
            inside(QStringList{u"env"_s, u"DEBIAN_FRONTEND=noninteractive"_s, u"dpkg"_s} + args);
        if (r.exitCode != 0)
            qWarning("dpkg %s: %s%s", qPrintable(args.join(u' ')), r.out.constData(),
                     r.err.constData());
        return r;
    }
    // The service answers getpublicip on the port.
    bool answers(quint16 port)
    {
        Client client;
        return client.connectTo(port) && client.linesBeforeBarrier().isEmpty();
    }

    std::unique_ptr<SystemdNamespace> m_ns;

private Q_SLOTS:
    // The packaged unit keeps every line of the unit the tester writes itself for the same
    // place, apart from the program's path, the account (a dynamic one instead) and where the
    // debug log goes; and systemd rates it more exposed by no means.
    void packagedUnitKeepsTheOwnUnitsHardening()
    {
        const QByteArray packaged = readFile(QStringLiteral(PACKAGED_UNIT));
        QVERIFY(!packaged.isEmpty());
        QtServicePlatform::Registration registration;
        registration.serviceName = u"VX Connectivity Tester"_s;
        registration.description = u"VX Connectivity Tester"_s;
        registration.executablePath = s_tester;
        registration.checkOption = u"--check-settings"_s;
        registration.account = u"someone"_s;
        const QString own = QtServiceSystemdUnit::fileText(registration);
        const QList<QByteArray> packagedLines = packaged.split('\n');
        for (const QString &line : own.split(u'\n')) {
            const QString key = line.section(u'=', 0, 0);
            if (key == u"User"_s)
                QVERIFY(packagedLines.contains("DynamicUser=yes"));
            else if (key == u"ExecStart"_s || key == u"Environment"_s ||
                     key == u"Documentation"_s || line.startsWith(u"ExecReload=\""_s))
                QVERIFY2(packaged.contains(QByteArray('\n' + key.toLatin1() + '=')),
                         qPrintable(key));
            else
                QVERIFY2(packagedLines.contains(line.toUtf8()), qPrintable(line));
        }

        registration.account.clear(); // as root, as `-i` installs it by default
        QTemporaryDir dir;
        QFile ownFile(dir.filePath(s_unit));
        QVERIFY(ownFile.open(QIODevice::WriteOnly));
        ownFile.write(QtServiceSystemdUnit::fileText(registration).toUtf8());
        ownFile.close();
        const auto rate = [](const QString &path) {
            return exposure(run(u"systemd-analyze"_s, {u"security"_s, u"--offline=true"_s, path},
                                {u"SYSTEMD_COLORS=0"_s})
                                .out);
        };
        const double packagedExposure = rate(QStringLiteral(PACKAGED_UNIT));
        const double ownExposure = rate(ownFile.fileName());
        qInfo("systemd-analyze security --offline: packaged %.1f, own unit %.1f", packagedExposure,
              ownExposure);
        QVERIFY(packagedExposure >= 0 && ownExposure >= 0);
        QVERIFY(packagedExposure < ownExposure);
    }

    // Installed into a private systemd on overlays of /usr, /etc and /var: enabled and started
    // as an unprivileged account that may bind ports below 1024; the tester's own options act
    // on the packaged unit but leave its file alone; a reinstall restarts it once; remove stops
    // it and purge leaves nothing behind.
    void installUseRemovePurge()
    {
        const QString deb = QStringLiteral(PACKAGE_FILE);
        if (!QFileInfo::exists(deb)) {
            const QString why = deb + u" is missing: scripts/package.sh builds it"_s;
            if (qEnvironmentVariableIsSet("CI"))
                QFAIL(qPrintable(why));
            QSKIP(qPrintable(why));
        }
        qputenv("VX_NS_OVERLAY", "/usr:/etc:/var");
        qputenv("VX_NS_UNIT_PATH", "/lib/systemd/system");
        qputenv("VX_NS_KEEP", QFile::encodeName(QFileInfo(deb).absolutePath()));
        m_ns = std::make_unique<SystemdNamespace>();
        QString why;
        if (!m_ns->boot(&why)) {
            m_ns.reset();
            if (qEnvironmentVariableIsSet("CI"))
                QFAIL(qPrintable(why));
            QSKIP(qPrintable(u"no systemd namespace here: "_s + why));
        }
        // The machine's own files are never the ones changed.
        for (const QString &folder : {u"/usr"_s, u"/etc"_s, u"/var"_s})
            QCOMPARE(inside({u"findmnt"_s, u"-n"_s, u"-o"_s, u"FSTYPE"_s, folder}).out,
                     "overlay\n");

        // A container image's policy may forbid packages to start services; a Debian system has
        // none, and neither has the namespace.
        QCOMPARE(inside({u"rm"_s, u"-f"_s, u"/usr/sbin/policy-rc.d"_s}).exitCode, 0);
        const quint16 port = freePort();
        QCOMPARE(inside({u"mkdir"_s, u"-p"_s, s_dropin}).exitCode, 0);
        QCOMPARE(inside({u"sh"_s, u"-c"_s,
                         u"printf '[Service]\\nEnvironment=VX_CONTROL_PORT=%1\\n' > %2/port.conf"_s
                             .arg(port)
                             .arg(s_dropin)})
                     .exitCode,
                 0);
        QCOMPARE(dpkg({u"-i"_s, deb}).exitCode, 0);

        // Installed where a Debian user looks for it, enabled and running.
        const QByteArray files = dpkg({u"-L"_s, u"vx-connectivity-tester"_s}).out;
        for (const char *file :
             {"/usr/sbin/vx-connectivity-tester\n", "/usr/bin/vx-connectivity-check\n",
              "/lib/systemd/system/vx-connectivity-tester.service\n",
              "/etc/default/vx-connectivity-tester\n",
              "/usr/share/man/man8/vx-connectivity-tester.8.gz\n",
              "/usr/share/man/man1/vx-connectivity-check.1.gz\n",
              "/usr/share/bash-completion/completions/vx-connectivity-check\n",
              "/usr/share/bash-completion/completions/vx-connectivity-tester\n",
              "/usr/share/doc/vx-connectivity-tester/README.Debian",
              "/usr/share/doc/vx-connectivity-tester/protocol.md",
              "/usr/share/doc/vx-connectivity-tester/json.md",
              "/usr/share/doc/vx-connectivity-tester/metrics.md",
              "/usr/share/doc/vx-connectivity-tester/vx-alerts.rules.yml\n"})
            QVERIFY2(files.contains(file), file);
        QVERIFY(!inside({u"readelf"_s, u"-S"_s, u"-W"_s, s_tester}).out.contains(".debug_info"));
        QCOMPARE(inside({s_check, u"--version"_s}).out,
                 "vx-connectivity-check " PACKAGE_VERSION "\n");
        QCOMPARE(unitValue(u"UnitFileState"_s), u"enabled"_s);
        QCOMPARE(unitValue(u"ActiveState"_s), u"active"_s);
        QCOMPARE(unitValue(u"StatusText"_s).section(u':', 0, 0), u"running"_s);
        QCOMPARE(unitValue(u"FragmentPath"_s), u"/lib/systemd/system/"_s + s_unit);
        const QByteArray status =
            m_ns->readFile(u"/proc/"_s + unitValue(u"MainPID"_s) + u"/status"_s);
        const QRegularExpressionMatch uid =
            QRegularExpression(u"\nUid:\\s+(\\d+)\\s+(\\d+)\\s+(\\d+)\\s+(\\d+)\n"_s)
                .match(QString::fromLatin1(status));
        QVERIFY2(uid.hasMatch(), status.constData());
        for (int i = 1; i <= 4; ++i)
            QVERIFY2(uid.captured(i) != u"0"_s, status.constData());
        QVERIFY2(status.contains("\nCapEff:\t0000000000000400\n") &&
                     status.contains("\nCapBnd:\t0000000000000400\n"),
                 status.constData());
        QVERIFY(answers(port));
        // The debug log is in the logs folder (which purge removes), written by the service.
        const QString log = u"/var/log/vx-connectivity-tester/service-debuglog.txt"_s;
        QCOMPARE(inside({u"stat"_s, u"-L"_s, u"-c"_s, u"%u"_s, log}).out.trimmed(),
                 uid.captured(1).toLatin1());
        const quint16 low = freePrivilegedPort();
        QVERIFY(low != 0);
        const Run check = inside({s_check, u"--port"_s, QString::number(port), u"--direction"_s,
                                  u"out"_s, u"tcp"_s, QString::number(low)});
        QVERIFY2(check.exitCode == 0 && check.out.contains("reachable"), check.out.constData());
        qInfo("systemd-analyze security (in the namespace): %.1f",
              exposure(inside({u"env"_s, u"SYSTEMD_COLORS=0"_s, u"systemd-analyze"_s, u"security"_s,
                               s_unit})
                           .out));

        // The tester's own options act on the packaged unit.
        QCOMPARE(tester({u"-v"_s}).out, "The service\n\tVX Connectivity Tester\n\t" +
                                            s_tester.toLatin1() +
                                            "\n\nis installed and running\n\n");
        Run r = tester({u"-i"_s});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.err, testerSaid(" is already installed\n"));
        QVERIFY(!exists(u"/etc/systemd/system/"_s + s_unit));
        r = tester({u"-u"_s});
        QCOMPARE(r.exitCode, 255);
        QCOMPARE(r.err,
                 testerSaid(" could not be uninstalled\nthe unit file /lib/systemd/system/") +
                     s_unit.toLatin1() +
                     " was not installed by this program; remove the package that "
                     "installed it\n");
        QCOMPARE(unitValue(u"ActiveState"_s), u"active"_s);
        QCOMPARE(tester({u"-p"_s}).exitCode, 0);
        QCOMPARE(unitValue(u"StatusText"_s).section(u':', 0, 0), u"paused"_s);
        QVERIFY(!answers(port));
        QCOMPARE(tester({u"-r"_s}).exitCode, 0);
        QCOMPARE(unitValue(u"StatusText"_s).section(u':', 0, 0), u"running"_s);
        QCOMPARE(tester({u"-c"_s, u"5"_s}).exitCode, 0);
        QVERIFY(answers(port));

        // Reload and SIGHUP reopen the debug log the dynamic account owns and keep the service.
        const QString defaults = u"/etc/default/vx-connectivity-tester"_s;
        const auto journalHas = [this](const QString &text) {
            return QTest::qWaitFor(
                [&] {
                    return inside({u"journalctl"_s, u"--no-pager"_s, u"-o"_s, u"cat"_s, u"-t"_s,
                                   u"vx-connectivity-tester"_s})
                        .out.count(text.toUtf8());
                },
                kPatience);
        };
        const QString running = unitValue(u"MainPID"_s);
        QCOMPARE(inside({u"systemctl"_s, u"reload"_s, s_unit}).exitCode, 0);
        QCOMPARE(inside({u"kill"_s, u"-HUP"_s, running}).exitCode, 0);
        QVERIFY(journalHas(u"SIGHUP: reopened the debug log /var/log/vx-connectivity-tester/"_s));
        QCOMPARE(unitValue(u"MainPID"_s), running);
        QVERIFY(answers(port));

        QCOMPARE(tester({u"-t"_s}).exitCode, 0);
        QCOMPARE(unitValue(u"ActiveState"_s), u"inactive"_s);
        QVERIFY(!answers(port));
        QCOMPARE(tester({u"-c"_s, u"5"_s}).exitCode, 255); // nothing runs to take it
        // A start with a port: its arguments reach the dynamic account.
        const quint16 other = freePort();
        QCOMPARE(tester({QString::number(other)}).exitCode, 0);
        QVERIFY(answers(other));
        QCOMPARE(inside({u"ls"_s, u"/run/vx-connectivity-tester"_s}).out, "control\n");

        // A reinstall over the running service restarts it once, on its configured port.
        const QString pid = unitValue(u"MainPID"_s);
        const int started = listeningEntries();
        QCOMPARE(dpkg({u"-i"_s, deb}).exitCode, 0);
        QCOMPARE(unitValue(u"ActiveState"_s), u"active"_s);
        QVERIFY(unitValue(u"MainPID"_s) != pid);
        QCOMPARE(listeningEntries(), started + 1);
        QVERIFY(answers(port));

        QCOMPARE(dpkg({u"-r"_s, u"vx-connectivity-tester"_s}).exitCode, 0);
        QCOMPARE(unitValue(u"ActiveState"_s), u"inactive"_s);
        QVERIFY(!answers(port));
        QVERIFY(!exists(s_tester));
        QVERIFY(exists(defaults)); // a conffile stays until purge

        QCOMPARE(inside({u"rm"_s, u"-r"_s, s_dropin}).exitCode, 0); // the test's own
        QCOMPARE(dpkg({u"-P"_s, u"vx-connectivity-tester"_s}).exitCode, 0);
        QCOMPARE(inside({u"dpkg-query"_s, u"-W"_s, u"vx-connectivity-tester"_s}).exitCode, 1);
        const Run left = inside({u"find"_s, u"/run"_s, u"/etc/systemd/system"_s, u"/var/log"_s,
                                 u"/var/lib/systemd"_s, u"-name"_s, u"*vx-connectivity*"_s});
        QVERIFY2(left.exitCode == 0 && left.out.isEmpty(), left.out.constData());
        QCOMPARE(inside({u"getent"_s, u"passwd"_s, u"vx-connectivity-tester"_s}).exitCode, 2);
    }

    void cleanupTestCase() { m_ns.reset(); }
};

QTEST_GUILESS_MAIN(tst_Package)
#include "tst_package.moc"
