#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace Qt::StringLiterals;

// The framework's command-line dispatch and foreground run, seen from outside the process.
class tst_ServiceBase : public QObject
{
    Q_OBJECT

private:
    struct Run
    {
        int exitCode = -100;
        QString out;
        QString err;
        QByteArray log;
    };

    Run run(const QStringList &args, const QMap<QString, QString> &env = {})
    {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"TMPDIR"_s, m_dir->path());
        for (auto it = env.cbegin(); it != env.cend(); ++it)
            environment.insert(it.key(), it.value());
        child.setProcessEnvironment(environment);
        child.start(QStringLiteral(SERVICEBASE_CHILD), args);
        Run result;
        if (!child.waitForFinished(30000))
            return result;
        result.exitCode = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -200;
        result.out = QString::fromLocal8Bit(child.readAllStandardOutput());
        result.err = QString::fromLocal8Bit(child.readAllStandardError());
        result.log = readLog();
        return result;
    }

    QByteArray readLog() const
    {
        QFile file(m_dir->filePath(u"service-debuglog.txt"_s));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    std::unique_ptr<QTemporaryDir> m_dir;

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void foregroundRunPassesTheRemainingArguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("appArgs");
        QTest::newRow("-e") << QStringList{u"-e"_s} << u""_s;
        QTest::newRow("-exec") << QStringList{u"-exec"_s} << u""_s;
        QTest::newRow("-e 40000") << QStringList{u"-e"_s, u"40000"_s} << u"|40000"_s;
        QTest::newRow("-exec a b") << QStringList{u"-exec"_s, u"a"_s, u"b"_s} << u"|a|b"_s;
        QTest::newRow("-e -e") << QStringList{u"-e"_s, u"-e"_s} << u"|-e"_s;
    }

    void foregroundRunPassesTheRemainingArguments()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, appArgs);
        const Run r = run(args, {{u"VX_EXIT"_s, u"7"_s}});
        QCOMPARE(r.exitCode, 7); // the loop's exit code is the run's result
        QVERIFY2(r.out.startsWith(u"start #1 inLoop=1 app=1 args="_s), qPrintable(r.out));
        QCOMPARE(r.out.count(u"start #"_s), 1);
        const QString seen = r.out.section(u"args="_s, 1).section(u'\n', 0, 0);
        QCOMPARE(seen.section(u'|', 1), appArgs.mid(1));
        QVERIFY(seen.section(u'|', 0, 0).endsWith(u"servicebase_child"_s));
        QVERIFY2(r.out.endsWith(u"exec returned 7\n"_s), qPrintable(r.out));
        // The application object went away, so the log was closed with its banner.
        QVERIFY2(r.log.endsWith("--- DEBUG LOG CLOSED ---\n\n"), r.log.constData());
    }

    void optionsMatchWholeAndCaseSensitively_data()
    {
        QTest::addColumn<QString>("option");
        for (const char *option :
             {"-E", "--exec", "/e", "-ex", "-I", "--install", "-inst", "40000"})
            QTest::newRow(option) << QString::fromLatin1(option);
    }

    // Anything that is not an option whole starts the service under the service manager,
    // which a test process is not under.
    void optionsMatchWholeAndCaseSensitively()
    {
        QFETCH(QString, option);
        const Run r = run({option});
        QCOMPARE(r.exitCode, 252); // -4
        QVERIFY(!r.out.contains(u"start #"_s));
        QCOMPARE(r.err, u"The service Test Service could not start\n"_s);
    }

    void helpPrintsTheUsageWithTheProgramPath()
    {
        for (const QString &option : {u"-h"_s, u"-help"_s}) {
            const Run r = run({option});
            QCOMPARE(r.exitCode, 0);
            const QString expected =
                u"\n"_s + QStringLiteral(SERVICEBASE_CHILD) +
                u" -[i|u|e|s|v|h]\n"
                "\t-i(nstall) [account] [password]\t: Install the service, optionally using "
                "given account and password\n"
                "\t-u(ninstall)\t: Uninstall the service.\n"
                "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
                "\t-t(erminate)\t: Stop the service.\n"
                "\t-c(ommand) num\t: Send command code num to the service.\n"
                "\t-v(ersion)\t: Print version and status information.\n"
                "\t-h(elp)   \t: Show this help\n"
                "\tNo arguments\t: Start the service.\n"_s;
            QCOMPARE(r.out, expected + u"exec returned 0\n"_s);
            // No application object was made, so the log was never closed.
            QVERIFY(!r.log.contains("--- DEBUG LOG CLOSED ---"));
        }
    }

    void serviceNameIsCheckedOnce_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("printed");
        QTest::addColumn<QByteArray>("warning");
        QTest::newRow("300 characters")
            << QString(300, u'n') << QString(255, u'n')
            << QByteArray("WARNING: QtService: 'name' is longer than 255 characters.\n");
        QTest::newRow("backslash")
            << u"a\\b"_s << u"a"_s
            << QByteArray("WARNING: QtService: 'name' contains backslashes '\\'.\n");
        QTest::newRow("255 characters") << QString(255, u'n') << QString(255, u'n') << QByteArray();
    }

    void serviceNameIsCheckedOnce()
    {
        QFETCH(QString, name);
        QFETCH(QString, printed);
        QFETCH(QByteArray, warning);
        const Run r = run({u"-u"_s}, {{u"VX_NAME"_s, name}});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.err, u"The service "_s + printed + u" is not installed\n"_s);
        if (warning.isEmpty()) {
            QVERIFY(!r.log.contains("WARNING: QtService"));
        } else {
            QCOMPARE(r.log.count(warning), 1);
            QCOMPARE(r.log.count("WARNING:"), 1);
        }
    }

    void signalsEndTheForegroundRunCleanly_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGTERM") << SIGTERM;
    }

    void signalsEndTheForegroundRunCleanly()
    {
        QFETCH(int, signalNumber);
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"TMPDIR"_s, m_dir->path());
        environment.insert(u"VX_WAIT"_s, u"1"_s);
        child.setProcessEnvironment(environment);
        child.start(QStringLiteral(SERVICEBASE_CHILD), {u"-e"_s});
        QVERIFY(child.waitForStarted());
        QByteArray out;
        while (!out.contains("start #1") && child.waitForReadyRead(30000))
            out += child.readAllStandardOutput();
        QVERIFY2(out.contains("start #1"), out.constData());
        ::kill(pid_t(child.processId()), signalNumber);
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        out += child.readAllStandardOutput();
        QVERIFY2(out.contains("exec returned 0"), out.constData());
        QVERIFY(readLog().endsWith("--- DEBUG LOG CLOSED ---\n\n"));
    }
};

QTEST_GUILESS_MAIN(tst_ServiceBase)
#include "tst_servicebase.moc"
