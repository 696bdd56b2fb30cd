#include "../common/testhelpers.h"

#include "http/callerresolver.h"

using namespace vxtest;

// The X-Forwarded-For entries the front door believes, and the caller it takes from them.
class tst_CallerResolver : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void forwardedEntries_data()
    {
        QTest::addColumn<QByteArray>("entry");
        QTest::addColumn<QString>("address"); // empty: refused
        for (const char *taken : {"192.0.2.7", "2001:db8::1", "127.0.0.2"})
            QTest::addRow("%s", taken) << QByteArray(taken) << QString::fromLatin1(taken);
        QTest::addRow("with port") << QByteArray(" 192.0.2.7:5555 ") << u"192.0.2.7"_s;
        QTest::addRow("bracketed, port") << QByteArray("[2001:db8::1]:80") << u"2001:db8::1"_s;
        QTest::addRow("mapped") << QByteArray("::ffff:192.0.2.7") << u"192.0.2.7"_s;
        for (const char *refused : {"0.0.0.0", "::", "127.1", "2130706433", "0x7f000001",
                                    "010.0.0.1", "224.0.0.1", "255.255.255.255", "ff02::1",
                                    "fe80::1%eth0", "::ffff:0.0.0.0", "unknown", "", "1.2.3.4:x"})
            QTest::addRow("%s", refused) << QByteArray(refused) << QString();
    }

    void forwardedEntries()
    {
        QFETCH(QByteArray, entry);
        QFETCH(QString, address);
        QCOMPARE(CallerResolver::parseEntry(entry).toString(), address);
        // From a trusted proxy, a refused right-most entry refuses the request.
        const CallerResolver callers({QHostAddress(u"127.0.0.1"_s)});
        const auto caller = callers.callerOf(QHostAddress(u"127.0.0.1"_s), "192.0.2.1, " + entry);
        QCOMPARE(std::holds_alternative<QHostAddress>(caller), !address.isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_CallerResolver)
#include "tst_callerresolver.moc"
