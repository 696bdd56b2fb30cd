#include "protocol/commandline.h"
#include "protocol/porttestingline.h"
#include "protocol/testportrequest.h"

#include <QElapsedTimer>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
// Far above what a linear search of the longest line the handler takes needs, far below what
// a search that starts over at every position of the line took.
constexpr qint64 kLongLineBudgetMs = 2000;
constexpr int kMaxLineLength = 64 * 1024;
} // namespace

class TstTestPortRequest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void direction_data()
    {
        // The "in" or "out" right before the protocol (and the blanks after it) decides.
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<int>("port"); // 0: refused
        QTest::addColumn<int>("protocol");
        QTest::addColumn<int>("direction");
        QTest::addColumn<int>("timeout");
        QTest::addRow("none") << u"tcp 443"_s << 443 << 0 << 0 << 5000;
        QTest::addRow("out, capitals") << u"OUT udp 500 250"_s << 500 << 1 << 1 << 250;
        QTest::addRow("last of a run") << u"inout tcp 80"_s << 80 << 0 << 1 << 5000;
        QTest::addRow("last of a run, in") << u"outin tcp 80"_s << 80 << 0 << 0 << 5000;
        QTest::addRow("inside a word") << u"stdout tcp 80"_s << 80 << 0 << 1 << 5000;
        QTest::addRow("no blank") << u"outtcp 80"_s << 80 << 0 << 1 << 5000;
        QTest::addRow("any white space") << u"out \t\u00a0\u0085tcp 80"_s << 80 << 0 << 1 << 5000;
        QTest::addRow("word between") << u"out x tcp 80"_s << 80 << 0 << 0 << 5000;
        QTest::addRow("after the port") << u"tcp 80 out"_s << 80 << 0 << 0 << 5000;
        QTest::addRow("protocol without port skipped")
            << u"in tcp x out udp 7 8"_s << 7 << 1 << 1 << 8;
        QTest::addRow("first match refused") << u"out tcp 0 out udp 80"_s << 0 << 0 << 0 << 0;
        QTest::addRow("mixed case") << u"In TCP 80"_s << 80 << 0 << 0 << 5000;
        QTest::addRow("text around") << u"foo tcp 80 bar"_s << 80 << 0 << 0 << 5000;
        for (const char *refused : {"tcp 0", "tcp 70000", "tcp 99999999999", "80", "ftp 80", ""})
            QTest::addRow("refused: '%s'", refused)
                << QString::fromLatin1(refused) << 0 << 0 << 0 << 0;
    }

    void direction()
    {
        QFETCH(QString, arguments);
        QFETCH(int, port);
        QFETCH(int, protocol);
        QFETCH(int, direction);
        QFETCH(int, timeout);
        const std::optional<TestPortRequest> request = TestPortRequest::parse(arguments);
        QCOMPARE(request.has_value(), port != 0);
        if (!request)
            return;
        QCOMPARE(int(request->port), port);
        QCOMPARE(request->protocol, protocol);
        QCOMPARE(request->direction, direction);
        QCOMPARE(request->timeout, timeout);
    }

    // The reason a peer gives after "failure": the rest of the line, and only after a failure;
    // "invalid": not read as a line.
    void failureReason_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("result"); // "none": no result read
        QTest::addColumn<QString>("reason");
        QTest::addRow("colon") << u"porttesting in udp 7 failure: no buffers"_s << u"failure"_s
                               << u"no buffers"_s;
        QTest::addRow("blanks, colons, case")
            << u"PortTesting IN tcp 7 FAILURE :: \t in use \t"_s << u"failure"_s << u"in use"_s;
        QTest::addRow("glued") << u"porttesting in tcp 7 failurex"_s << u"failure"_s << u"x"_s;
        QTest::addRow("none given")
            << u"porttesting in tcp 7 failure"_s << u"failure"_s << QString();
        QTest::addRow("control bytes kept")
            << u"porttesting out udp 7 failure \x1b[2J"_s << u"failure"_s << u"\x1b[2J"_s;
        // Nothing may follow a line but its failure reason: such text is no line at all.
        QTest::addRow("after success")
            << u"porttesting in tcp 7 success: fine"_s << u"invalid"_s << QString();
        QTest::addRow("two blanks")
            << u"porttesting in tcp 7  failure: x"_s << u"invalid"_s << QString();
        QTest::addRow("forged line after")
            << u"porttesting in tcp 7 success\r12:00:00.000 [1] DEBUG: x"_s << u"invalid"_s
            << QString();
        QTest::addRow("text before") << u"x porttesting in tcp 7"_s << u"invalid"_s << QString();
        QTest::addRow("blanks around") << u" porttesting in tcp 7 \t"_s << u"none"_s << QString();
    }

    void failureReason()
    {
        QFETCH(QString, line);
        QFETCH(QString, result);
        QFETCH(QString, reason);
        const std::optional<PortTestingLine> parsed = PortTestingLine::parse(line);
        QCOMPARE(parsed.has_value(), result != u"invalid");
        if (!parsed)
            return;
        QCOMPARE(parsed->result ? ControlProtocol::resultName(*parsed->result) : u"none"_s, result);
        QCOMPARE(parsed->reason, reason);
        QCOMPARE(parsed->port, 7);
    }

    void longLines_data()
    {
        // Lines as long as the handler takes, built to make a search start over at every position.
        const int n = kMaxLineLength - 32;
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("port"); // 0: refused
        QTest::addColumn<int>("direction");
        QTest::addRow("blanks before a protocol without port")
            << u"testport x"_s + u" "_s.repeated(n) + u"tcp\r\n"_s << 0 << 0;
        QTest::addRow("in, again and again")
            << u"testport "_s + u"in"_s.repeated(n / 2) + u" tcp 80\n"_s << 80 << 0;
        QTest::addRow("out, again and again")
            << u"testport "_s + u"out"_s.repeated(n / 3) + u"udp 81 5"_s << 81 << 1;
        QTest::addRow("protocols without port")
            << u"testport "_s + u"tcp "_s.repeated(n / 4) + u"udp 82"_s << 82 << 0;
        QTest::addRow("port digits") << u"testport tcp "_s + u"9"_s.repeated(n) << 0 << 0;
    }

    void longLines()
    {
        QFETCH(QString, line);
        QFETCH(int, port);
        QFETCH(int, direction);
        QElapsedTimer clock;
        clock.start();
        const CommandLine command = CommandLine::parse(line);
        const std::optional<TestPortRequest> request = TestPortRequest::parse(command.arguments);
        const qint64 elapsed = clock.elapsed();
        QCOMPARE(command.command, u"testport"_s);
        QCOMPARE(request.has_value(), port != 0);
        if (request) {
            QCOMPARE(int(request->port), port);
            QCOMPARE(request->direction, direction);
        }
        QVERIFY2(elapsed < kLongLineBudgetMs, qPrintable(u"%1 ms"_s.arg(elapsed)));
    }
};

QTEST_GUILESS_MAIN(TstTestPortRequest)
#include "tst_testportrequest.moc"
