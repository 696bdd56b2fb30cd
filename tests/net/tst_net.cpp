#include "net/addresskind.h"
#include "net/checkadvice.h"
#include "net/connectionlimiter.h"
#include "net/descriptorbudget.h"
#include "net/loggedtext.h"
#include "net/logthrottle.h"
#include "net/peeraddress.h"
#include "net/portreservation.h"
#include "net/ratelimiter.h"

#include <QTest>
#include <QThread>

#include <sys/resource.h>

#include <atomic>

using namespace Qt::StringLiterals;

// What both doors share: client text in the log, per-address counting, the descriptor budget
// and the process-wide port reservation.
class TestNet : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The kind of an address, at the edges of each range, in both families; the warning is
    // there exactly when the address is not public.
    void addressKind_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("kind");
        const auto row = [](const char *address, AddressKind::Kind kind) {
            QTest::addRow("%s", address) << QString::fromLatin1(address) << int(kind);
        };
        using K = AddressKind;
        for (const char *a :
             {"1.1.1.1", "9.255.255.255", "11.0.0.0", "100.63.255.255", "100.128.0.0",
              "126.255.255.255", "128.0.0.0", "172.15.255.255", "172.32.0.0", "192.0.0.9",
              "192.167.255.255", "192.169.0.0", "198.17.255.255", "198.20.0.0", "223.255.255.255"})
            row(a, K::Public);
        for (const char *a : {"127.0.0.0", "127.255.255.255", "::1", "::ffff:127.0.0.1"})
            row(a, K::Loopback);
        for (const char *a :
             {"10.0.0.0", "10.255.255.255", "172.16.0.0", "172.31.255.255", "192.168.0.0",
              "192.168.255.255", "fc00::", "fdff:ffff::1", "::ffff:192.168.1.1"})
            row(a, K::Private);
        for (const char *a : {"100.64.0.0", "100.127.255.255"})
            row(a, K::Shared);
        for (const char *a : {"169.254.0.0", "169.254.255.255", "fe80::", "febf:ffff::1"})
            row(a, K::LinkLocal);
        for (const char *a : {"0.0.0.0",    "0.255.255.255",   "192.0.0.8",    "192.0.2.1",
                              "198.18.0.0", "198.19.255.255",  "198.51.100.7", "203.0.113.255",
                              "224.0.0.1",  "239.255.255.255", "240.0.0.0",    "255.255.255.255",
                              "::",         "2001:db8::1",     "2001::1",      "2002::1",
                              "3fff::1",    "ff02::1",         "64:ff9b:1::1", "100::1",
                              "4000::1",    "fec0::1"})
            row(a, K::Special);
        for (const char *a :
             {"2000::", "2a00:1450::1", "3ffe:ffff::1", "2001:200::1", "64:ff9b::192.0.2.1"})
            row(a, K::Public);
    }

    void addressKind()
    {
        QFETCH(QString, address);
        QFETCH(int, kind);
        const QHostAddress parsed(address);
        QVERIFY(!parsed.isNull());
        QCOMPARE(int(AddressKind::of(parsed)), kind);
        QCOMPARE(AddressKind::warning(AddressKind::of(parsed)).isEmpty(),
                 kind == AddressKind::Public);
    }

    // Advice comes in the order of the reason: refused starts with the listening program, a
    // dropped inbound check with the firewall here, then forwarding, then the provider; a
    // machine known to have no NAT in front is not sent to the router.
    void checkAdviceOrder()
    {
        CheckAdvice::Situation situation;
        situation.port = 8080;
        const QStringList refused = CheckAdvice::steps(CheckOutcome::Refused, situation);
        QVERIFY(refused.first().contains(u"listening"_s));
        const QStringList dropped = CheckAdvice::steps(CheckOutcome::Timeout, situation);
        QCOMPARE(dropped.size(), 3);
        QVERIFY(dropped.at(0).contains(u"firewall"_s));
        QVERIFY(dropped.at(1).contains(u"forward"_s));
        QVERIFY(dropped.at(2).contains(u"carrier-grade NAT"_s));
        situation.nat = CheckAdvice::Nat::No;
        const QStringList noNat = CheckAdvice::steps(CheckOutcome::Timeout, situation);
        QVERIFY(noNat.join(u' ').indexOf(u"forward"_s) < 0);
        situation.nat = CheckAdvice::Nat::Yes;
        QVERIFY(CheckAdvice::steps(CheckOutcome::Timeout, situation)
                    .at(1)
                    .contains(u"a NAT router is in the way"_s));
        QVERIFY(CheckAdvice::steps(CheckOutcome::Reachable, situation).isEmpty());
        for (const QString &step : dropped + refused)
            QVERIFY2(step.endsWith(u'?') || step.endsWith(u'.'), qPrintable(step));
    }

    // Client text in a log line: escaped, and cut with its length.
    void loggedText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("logged"); // as the line shows it
        QTest::addRow("plain") << u"getpublicip"_s << QByteArray("getpublicip");
        QTest::addRow("a forged line")
            << u"getpublicip\r03:00:00.000 [1] DEBUG: x\n\x1b[2K"_s
            << QByteArray("getpublicip\\r03:00:00.000 [1] DEBUG: x\\n\\x1b[2K");
        QTest::addRow("NUL, DEL, C1, backslash")
            << QStringView(u"a\u0000b\u007f\u0085\\", 6).toString()
            << QByteArray("a\\x00b\\x7f\\x85\\\\");
        QTest::addRow("unicode line separator")
            << QString::fromUtf16(u"\u2028é") << QByteArray("\\x2028\xc3\xa9");
        QTest::addRow("long, cut with its length")
            << u"x"_s.repeated(300) << QByteArray(200, 'x') + " ... (300 bytes)";
        QTest::addRow("escapes never cut the length off")
            << u"\n"_s.repeated(250) << QByteArray("\\n").repeated(200) + " ... (250 bytes)";
    }

    void loggedText()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, logged);
        QCOMPARE(::loggedText(text), logged);
    }

    // An IPv6 client is counted by its /64; an IPv4-mapped peer as its IPv4 address.
    void limitsPerAddress()
    {
        QCOMPARE(connectionLimitKey(QHostAddress(u"192.0.2.7"_s)), u"192.0.2.7"_s);
        QCOMPARE(connectionLimitKey(QHostAddress(u"::ffff:192.0.2.7"_s)), u"192.0.2.7"_s);
        QCOMPARE(plainAddress(QHostAddress(u"::ffff:192.0.2.7"_s)), QHostAddress(u"192.0.2.7"_s));
        for (const QString &loose :
             {u"127.1"_s, u"2130706433"_s, u"0x7f000001"_s, u"127.0.0.01"_s, u"1.2.3.256"_s,
              u"fe80::1%eth0"_s, u"::1 "_s, u"1.2.3.4 "_s, u""_s})
            QVERIFY2(strictAddress(loose).isNull(), qPrintable(loose));
        QCOMPARE(strictAddress(u"10.0.0.255"_s), QHostAddress(u"10.0.0.255"_s));
        QCOMPARE(strictAddress(u"::ffff:10.0.0.1"_s), QHostAddress(u"::ffff:10.0.0.1"_s));
        QCOMPARE(connectionLimitKey(QHostAddress(u"2001:db8:1:2:3:4:5:6"_s)),
                 u"2001:db8:1:2::/64"_s);

        ConnectionLimiter limiter(2);
        const QHostAddress a(u"2001:db8::1"_s), sameNet(u"2001:db8::ffff"_s), other(u"192.0.2.7"_s);
        QVERIFY(limiter.admit(a) && limiter.admit(sameNet));
        QVERIFY(!limiter.admit(a));
        QVERIFY(limiter.admit(other));
        limiter.release(sameNet);
        QCOMPARE(limiter.count(a), 1);
        QVERIFY(limiter.admit(a));
        QVERIFY(ConnectionLimiter(0).admit(a)); // 0: no limit

        // One line per key, then silence that counts what it swallowed.
        QCOMPARE(limiter.admitRefusalLog(u"k"_s), std::optional<qint64>(0));
        QVERIFY(!limiter.admitRefusalLog(u"k"_s));
        QVERIFY(!limiter.admitRefusalLog(u"k"_s));
        QCOMPARE(limiter.admitRefusalLog(u"other"_s), std::optional<qint64>(0));
    }

    // Within the room, each share keeps its floor: the other takes the rest and no more.
    void descriptorBudget()
    {
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        DescriptorBudget budget;
        budget.measureBase();
        const DescriptorBudget::Share a = budget.addShare(25);
        const DescriptorBudget::Share b = budget.addShare(25);
        const rlimit low{rlim_t(budget.base() + DescriptorBudget::Reserve + 40), saved.rlim_max};
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);
        int byA = 0;
        while (budget.take(a, 2))
            byA += 2;
        const bool bFloor = budget.take(b, 10);
        const bool bOver = budget.take(b, 1);
        budget.give(a, 4);
        const bool bAgain = budget.take(b, 4);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        QCOMPARE(byA, 30); // room 40, less b's floor of 10
        QVERIFY(bFloor);
        QVERIFY(!bOver);
        QVERIFY(bAgain);
        QCOMPARE(budget.taken(a), 26);
        QCOMPARE(budget.taken(b), 14);
        QCOMPARE(budget.taken(), 40);
    }

    // A burst, then one per 60 / rate seconds, per IPv4 address or IPv6 /64; the wait is told
    // in whole seconds; buckets that filled up again make room once the cap is reached.
    void rateLimiter()
    {
        RateLimiter limiter(6, 2, 3);
        const QHostAddress a(u"192.0.2.1"_s), b(u"2001:db8::1"_s), sameNet(u"2001:db8::2"_s);
        QCOMPARE(limiter.take(a, 0), std::nullopt);
        QCOMPARE(limiter.take(a, 0), std::nullopt);
        QCOMPARE(limiter.take(a, 0), std::optional<int>(10));
        QCOMPARE(limiter.take(a, 9500), std::optional<int>(1));
        QCOMPARE(limiter.take(a, 10000), std::nullopt);
        QCOMPARE(limiter.take(b, 10000), std::nullopt);
        QCOMPARE(limiter.take(sameNet, 10000), std::nullopt);
        QCOMPARE(limiter.take(b, 10000), std::optional<int>(10));
        QCOMPARE(limiter.take(QHostAddress(u"192.0.2.2"_s), 15000), std::nullopt);
        QCOMPARE(limiter.clientCount(), 3);
        // Full again after 20 s: the two buckets of 10 s go for the new one.
        QCOMPARE(limiter.take(QHostAddress(u"192.0.2.3"_s), 31000), std::nullopt);
        QCOMPARE(limiter.clientCount(), 2);
        // All in use: the least recently used one goes.
        QCOMPARE(limiter.take(QHostAddress(u"192.0.2.4"_s), 31000), std::nullopt);
        QCOMPARE(limiter.take(QHostAddress(u"192.0.2.5"_s), 31000), std::nullopt);
        QCOMPARE(limiter.clientCount(), 3);
    }

    // A port is held once, process-wide; a waiter is woken once when it is released, from the
    // releasing thread, and not after it stopped waiting.
    void portReservation()
    {
        PortReservation reservation;
        QVERIFY(reservation.reserve(80));
        QVERIFY(!reservation.reserve(80));
        QVERIFY(reservation.isReserved(80));
        std::atomic<int> woken = 0;
        int gone = 0;
        const int waiter = 0, quitter = 0;
        QVERIFY(!reservation.reserveOrWait(80, &waiter, [&] { ++woken; }));
        QVERIFY(!reservation.reserveOrWait(80, &waiter, [&] { ++woken; })); // registered once
        QVERIFY(!reservation.reserveOrWait(80, &quitter, [&] { ++gone; }));
        reservation.stopWaiting(&quitter);
        QScopedPointer<QThread> releaser(QThread::create([&] { reservation.release(80); }));
        releaser->start();
        QVERIFY(releaser->wait(10000));
        QCOMPARE(woken.load(), 1);
        QCOMPARE(gone, 0);
        QVERIFY(!reservation.isReserved(80));
        QVERIFY(reservation.reserveOrWait(80, &waiter, [&] { ++woken; }));
        reservation.release(80);
        reservation.release(80); // not held: nothing happens
        QCOMPARE(woken.load(), 1);
    }
};

QTEST_GUILESS_MAIN(TestNet)
#include "tst_net.moc"
