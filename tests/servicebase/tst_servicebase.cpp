#include "../common/testhelpers.h"

using namespace vxtest;

// The framework's command-line dispatch and foreground run, seen from outside the process.
class tst_ServiceBase : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;

    QByteArray log() const { return readFile(m_dir->filePath(u"service-debuglog.txt"_s)); }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    // A foreground run passes on the arguments after its option, once, and its loop's exit code
    // is the run's result (VX_EXIT). Options match whole and case-sensitively: anything else
    // starts the service under the service manager, which a test process is not under. The
    // help names the program; the service's name (VX_NAME) is checked once, its faults logged
    // once.
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("environment");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::addColumn<QByteArray>("warning"); // logged once
        const QString child = QStringLiteral(SERVICE_CHILD);
        const auto row = [](const char *tag, const QStringList &args, const QString &environment,
                            int exitCode, const QString &out, const QString &err = {},
                            const QByteArray &warning = {}) {
            QTest::newRow(tag) << args << environment << exitCode << out << err << warning;
        };
        const auto ran = [&](const QString &appArgs) -> QString {
            return u"start #1 inLoop=1 app=1 args="_s + child + appArgs + u"\nexec returned 7\n"_s;
        };
        row("-e", {u"-e"_s}, u"VX_EXIT=7"_s, 7, ran({}));
        row("-exec", {u"-exec"_s}, u"VX_EXIT=7"_s, 7, ran({}));
        row("-e 40000", {u"-e"_s, u"40000"_s}, u"VX_EXIT=7"_s, 7, ran(u"|40000"_s));
        row("-exec a b", {u"-exec"_s, u"a"_s, u"b"_s}, u"VX_EXIT=7"_s, 7, ran(u"|a|b"_s));
        row("-e -e", {u"-e"_s, u"-e"_s}, u"VX_EXIT=7"_s, 7, ran(u"|-e"_s));
        // A word that is no option starts the service; a mistyped option starts nothing.
        for (const char *word : {"/e", "40000"})
            row(word, {QString::fromLatin1(word)}, u"VX_EXIT=7"_s, 252, u"exec returned -4\n"_s,
                u"The service VX Service Child could not start\nno service manager runs here\n"_s);
        // The GNU form of a long option is that option.
        row("--exec a", {u"--exec"_s, u"a"_s}, u"VX_EXIT=7"_s, 7, ran(u"|a"_s));
        for (const char *option : {"-E", "---exec", "-ex", "-I", "--i", "-inst"})
            row(option, {QString::fromLatin1(option)}, u"VX_EXIT=7"_s, 2, u"exec returned 2\n"_s,
                u"unknown option '%1' (%2 -h lists the options)\n"_s.arg(
                    QString::fromLatin1(option), child));
        const QString help =
            u"\n"_s + child +
            u" -[i|u|e|s|v|h]\n"
            "\t-i(nstall) [account] [password]\t: Install the service, optionally using "
            "given account and password\n"
            "\t-u(ninstall)\t: Uninstall the service.\n"
            "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
            "\t-t(erminate)\t: Stop the service.\n"
            "\t-c(ommand) num\t: Send command code num to the service.\n"
            "\t-v(ersion)\t: Print version and status information.\n"
            "\t-h(elp)   \t: Show this help\n"
            "\tNo arguments\t: Start the service.\n"
            "exec returned 0\n"_s;
        row("-h", {u"-h"_s}, {}, 0, help);
        row("-help", {u"-help"_s}, {}, 0, help);
        const QString notInstalled = u"exec returned 0\n"_s;
        row("300 characters", {u"-u"_s}, u"VX_NAME="_s + QString(300, u'n'), 0, notInstalled,
            u"The service "_s + QString(255, u'n') + u" is not installed\n"_s,
            "WARNING: QtService: 'name' is longer than 255 characters.\n");
        row("backslash", {u"-u"_s}, u"VX_NAME=a\\b"_s, 0, notInstalled,
            u"The service a is not installed\n"_s,
            "WARNING: QtService: 'name' contains backslashes '\\'.\n");
        row("255 characters", {u"-u"_s}, u"VX_NAME="_s + QString(255, u'n'), 0, notInstalled,
            u"The service "_s + QString(255, u'n') + u" is not installed\n"_s);
    }

    void commandLine()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, environment);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QFETCH(QByteArray, warning);
        const Run r =
            run(QStringLiteral(SERVICE_CHILD), args, {u"TMPDIR="_s + m_dir->path(), environment});
        QCOMPARE(r.exitCode, exitCode);
        QCOMPARE(QString::fromLocal8Bit(r.out), out);
        QCOMPARE(QString::fromLocal8Bit(r.err), err);
        QCOMPARE(log().count("WARNING:"), warning.isEmpty() ? 0 : 1);
        QVERIFY(log().contains(warning));
        // Only a run made the application object, whose end closes the log with its banner.
        QCOMPARE(log().contains("--- DEBUG LOG CLOSED ---"), exitCode == 7);
        QVERIFY(exitCode != 7 || log().endsWith("--- DEBUG LOG CLOSED ---\n\n"));
    }
};

QTEST_GUILESS_MAIN(tst_ServiceBase)
#include "tst_servicebase.moc"
