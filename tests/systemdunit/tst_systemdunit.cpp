#include "service/qtservicesystemdunit.h"

#include <QtTest>

using namespace Qt::StringLiterals;

// How service names and states read in systemd's terms.
class tst_SystemdUnit : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A service's unit name, and a program path quoted for ExecStart=.
    void names_data()
    {
        QTest::addColumn<bool>("unit"); // or the path
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("expected");
        QTest::addRow("tester") << true << u"VX Connectivity Tester"_s
                                << u"vx-connectivity-tester.service"_s;
        QTest::addRow("runs") << true << u"a  --__b..c"_s << u"a-b-c.service"_s;
        QTest::addRow("trimmed") << true << u"  (My) Service!  "_s << u"my-service.service"_s;
        QTest::addRow("digits") << true << u"Port 32889"_s << u"port-32889.service"_s;
        QTest::addRow("not ASCII")
            << true << u"Dienst für Tests"_s << u"dienst-f-r-tests.service"_s;
        QTest::addRow("cut at backslash") << true << u"a"_s + QChar(0) + u"b"_s << u"a.service"_s;
        QTest::addRow("nothing left") << true << u"***"_s << QString();
        QTest::addRow("plain") << false << u"/usr/bin/x"_s << u"\"/usr/bin/x\""_s;
        QTest::addRow("blanks") << false << u"/opt/my app/x"_s << u"\"/opt/my app/x\""_s;
        QTest::addRow("specifier") << false << u"/opt/100%/x"_s << u"\"/opt/100%%/x\""_s;
        QTest::addRow("quote and backslash") << false << u"/o\"p\\t/x"_s << u"\"/o\\\"p\\\\t/x\""_s;
        QTest::addRow("dollar stays") << false << u"/opt/$HOME/x"_s << u"\"/opt/$HOME/x\""_s;
        QTest::addRow("line feed") << false << u"/o\\\np/x"_s << u"\"/o\\\\\\np/x\""_s;
    }

    void names()
    {
        QFETCH(bool, unit);
        QFETCH(QString, given);
        QFETCH(QString, expected);
        QCOMPARE(unit ? QtServiceSystemdUnit::unitName(given)
                      : QtServiceSystemdUnit::quotedExecPath(given),
                 expected);
    }

    void stateOf_data()
    {
        QTest::addColumn<QString>("activeState");
        QTest::addColumn<QString>("statusText");
        QTest::addColumn<int>("state");

        QTest::addRow("inactive") << u"inactive"_s << u"stopped"_s << 1;
        QTest::addRow("failed") << u"failed"_s << QString() << 1;
        QTest::addRow("activating") << u"activating"_s << u"start pending"_s << 2;
        QTest::addRow("deactivating") << u"deactivating"_s << u"stop pending"_s << 3;
        QTest::addRow("active") << u"active"_s << u"running"_s << 4;
        QTest::addRow("active, no report") << u"active"_s << QString() << 4;
        QTest::addRow("reloading") << u"reloading"_s << u"running"_s << 4;
        QTest::addRow("continue pending") << u"active"_s << u"continue pending"_s << 5;
        QTest::addRow("pause pending") << u"active"_s << u"pause pending"_s << 6;
        QTest::addRow("paused") << u"active"_s << u"paused"_s << 7;
        // What the service adds after a colon does not change the state it reports.
        QTest::addRow("paused, detail") << u"active"_s << u"paused: control port 1; 2 tests"_s << 7;
        QTest::addRow("running, detail") << u"active"_s << u"running: a: b"_s << 4;
    }

    // The state the wait loops see: systemd's ActiveState, refined by the service's report;
    // and the report's words for each state.
    void stateOf()
    {
        QFETCH(QString, activeState);
        QFETCH(QString, statusText);
        QFETCH(int, state);
        QCOMPARE(int(QtServiceSystemdUnit::stateOf(activeState, statusText)), state);
        const QString word = statusText.section(u':', 0, 0);
        const QString detail = statusText.section(u": "_s, 1);
        if (!statusText.isEmpty())
            QCOMPARE(QtServiceSystemdUnit::statusText(QtServicePlatform::State(state), detail),
                     statusText);
        if (!word.isEmpty()) // the detail only beside running and paused
            QCOMPARE(QtServiceSystemdUnit::statusText(QtServicePlatform::State(state), u"x"_s) ==
                         word,
                     state != 4 && state != 7);
    }

    void sandboxKeepsTheProgramReachable_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("protectHome");
        QTest::addColumn<bool>("privateTmp");
        QTest::newRow("system") << u"/usr/local/bin/vx"_s << u"yes"_s << true;
        QTest::newRow("root's home") << u"/root/vx/build/vx"_s << u"read-only"_s << true;
        QTest::newRow("a home") << u"/home/ann/vx"_s << u"read-only"_s << true;
        QTest::newRow("temporary") << u"/tmp/ci/build/vx"_s << u"yes"_s << false;
        QTest::newRow("var temporary") << u"/var/tmp/vx"_s << u"yes"_s << false;
        QTest::newRow("like tmp, not tmp") << u"/tmpx/vx"_s << u"yes"_s << true;
    }

    // A program the sandbox hid could not be started at all.
    void sandboxKeepsTheProgramReachable()
    {
        QFETCH(QString, program);
        QFETCH(QString, protectHome);
        QFETCH(bool, privateTmp);
        QtServicePlatform::Registration registration;
        registration.serviceName = u"VX Connectivity Tester"_s;
        registration.executablePath = program;
        const QString text = QtServiceSystemdUnit::fileText(registration);
        QVERIFY2(text.contains(u"\nProtectHome="_s + protectHome + u'\n'), qPrintable(text));
        QCOMPARE(text.contains(u"\nPrivateTmp=yes\n"_s), privateTmp);
        QVERIFY(text.contains(u"\nProtectSystem=strict\n"_s));
    }
};

QTEST_GUILESS_MAIN(tst_SystemdUnit)
#include "tst_systemdunit.moc"
