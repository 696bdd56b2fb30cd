#include "log/debuglog.h"
#include "tests/common/testhelpers.h"

#include <QRegularExpression>

#include <sys/stat.h>
#include <unistd.h>

using namespace vxtest;

namespace {

const QString s_time = u"\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d "_s;

} // namespace

// Each test points the temporary directory at a fresh folder: the log looks it up per message.
class tst_DebugLog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        qputenv("TMPDIR", QFile::encodeName(m_dir->path()));
        m_path = m_dir->filePath(u"service-debuglog.txt"_s);
        QCOMPARE(DebugLog::filePath(), m_path);
    }

    void cleanup()
    {
        DebugLog::close();
        qunsetenv("TMPDIR");
        m_dir.reset();
    }

    // A message opens the log with a banner, after what is there; each level has its prefix,
    // every message is on disk before the call returns, and a closed log opens again.
    void bannersLevelsAndReopening()
    {
        QFile old(m_path);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("earlier run\n") == 12);
        old.close();
        DebugLog::write(QtDebugMsg, u"PortTest::handleTest() - called!"_s);
        QVERIFY(readFile(m_path).endsWith("DEBUG: PortTest::handleTest() - called!\n"));
        DebugLog::write(QtWarningMsg, u"x"_s);
        DebugLog::write(QtCriticalMsg, u"c"_s);
        DebugLog::write(-1, u"[LOGGED Error] Failed to bind to port 32889"_s);
        DebugLog::write(7, u"seven"_s);
        DebugLog::close();
        DebugLog::close(); // closing a closed log does nothing
        DebugLog::write(QtDebugMsg, u"two"_s);
        DebugLog::close();

        const QString p = s_time + u"\\["_s + QString::number(::getpid()) + u"\\] "_s;
        const QString opened = u"\\n"_s + p + u"--- DEBUG LOG OPENED ---\\n"_s + p;
        const QString closed = s_time + u"--- DEBUG LOG CLOSED ---\\n\\n"_s;
        const QRegularExpression expected(
            u"^earlier run\\n"_s + opened + u"DEBUG: PortTest::handleTest\\(\\) - called!\\n"_s +
            p + u"WARNING: x\\n"_s + p + u"CRITICAL: c\\n"_s + p +
            u"\\[LOGGED Error\\] Failed to bind to port 32889\\n"_s + p + u"seven\\n"_s + closed +
            opened + u"DEBUG: two\\n"_s + closed + u"$"_s);
        const QString log = QString::fromLatin1(readFile(m_path));
        QVERIFY2(expected.match(log).hasMatch(), qPrintable(log));
    }

    // Whatever a message holds, it is one line: control characters and the Unicode line
    // separators are written as escapes; other text (backslashes included) as it is.
    void everyMessageIsOneLine()
    {
        QString all;
        for (char16_t u = 0; u < 0xa0; ++u) {
            if (u < 0x20 || u >= 0x7f)
                all += QChar(u);
        }
        all += u"\u2028\u2029 \\n end"_s;
        DebugLog::write(QtDebugMsg, u"a"_s + all);
        DebugLog::write(-1, u"\n\nb\r12:00:00.000 [1] DEBUG: forged\n"_s);
        const QByteArray log = readFile(m_path);
        const QList<QByteArray> lines = log.split('\n');
        QCOMPARE(lines.size(), 5); // blank, banner, two messages, after the last line feed
        QVERIFY2(lines[2].endsWith("DEBUG: a\\x00\\x01\\x02\\x03\\x04\\x05\\x06\\x07\\x08\\t\\n"
                                   "\\x0b\\x0c\\r\\x0e\\x0f\\x10\\x11\\x12\\x13\\x14\\x15\\x16"
                                   "\\x17\\x18\\x19\\x1a\\x1b\\x1c\\x1d\\x1e\\x1f\\x7f\\x80\\x81"
                                   "\\x82\\x83\\x84\\x85\\x86\\x87\\x88\\x89\\x8a\\x8b\\x8c\\x8d"
                                   "\\x8e\\x8f\\x90\\x91\\x92\\x93\\x94\\x95\\x96\\x97\\x98\\x99"
                                   "\\x9a\\x9b\\x9c\\x9d\\x9e\\x9f\\u2028\\u2029 \\n end"),
                 lines[2].constData());
        QVERIFY2(lines[3].endsWith("] \\n\\nb\\r12:00:00.000 [1] DEBUG: forged\\n"),
                 lines[3].constData());
    }

    void unopenableLogDropsTheMessageQuietly_data()
    {
        QTest::addColumn<QString>("what");
        QTest::newRow("missing directory") << u"missing"_s;
        QTest::newRow("symlink to a file") << u"symlink"_s;
        QTest::newRow("dangling symlink") << u"dangling"_s;
        QTest::newRow("directory in its place") << u"directory"_s;
        QTest::newRow("fifo in its place") << u"fifo"_s;
    }

    void unopenableLogDropsTheMessageQuietly()
    {
        QFETCH(QString, what);
        const QString victim = m_dir->filePath(u"victim"_s);
        if (what == u"missing")
            qputenv("TMPDIR", QFile::encodeName(m_dir->filePath(u"no/such/dir"_s)));
        else
            QVERIFY(obstruct(what, m_path));

        DebugLog::write(QtWarningMsg, u"must not land"_s);
        DebugLog::close();

        if (what == u"symlink")
            QCOMPARE(readFile(victim), QByteArray("precious\n"));
        else
            QVERIFY(!QFile::exists(victim));

        // Once the obstacle is gone the next message opens the log as usual.
        if (what != u"missing") {
            QVERIFY(QFile::remove(m_path) || QDir().rmdir(m_path));
            DebugLog::write(QtWarningMsg, u"lands"_s);
            const QByteArray log = readFile(m_path);
            QVERIFY(log.contains("WARNING: lands\n"));
            QVERIFY(!log.contains("must not land"));
        }
    }

    void fatalMessageClosesTheLogAndExitsWithOne()
    {
        const Run child = run(QStringLiteral(DEBUGLOG_CHILD), {u"fatal"_s});
        QCOMPARE(child.exitCode, 1);
        QVERIFY2(child.err.isEmpty(), "the log must not reach the console");

        const QString log = QString::fromLatin1(readFile(m_path));
        const QString p = s_time + u"\\[\\d+\\] "_s;
        const QRegularExpression tail(p + u"DEBUG: before the end\\n"_s + p +
                                      u"FATAL: the end 42\\n"_s + s_time +
                                      u"--- DEBUG LOG CLOSED ---\\n\\n$"_s);
        QVERIFY2(tail.match(log).hasMatch(), qPrintable(log));
    }

    void linesFromManyThreadsNeverInterleaveWithClosesOrRotations_data()
    {
        QTest::addColumn<QByteArray>("maxBytes"); // the bound, null: the default
        QTest::addColumn<QString>("older");       // what is at service-debuglog.txt.1 before
        QTest::addRow("default bound") << QByteArray() << QString();
        QTest::addRow("0 is unbounded") << QByteArray("0") << QString();
        QTest::addRow("4096") << QByteArray("4096") << QString();
        QTest::addRow("32768") << QByteArray("32768") << QString();
        QTest::addRow("4096, .1 a symlink") << QByteArray("4096") << u"symlink"_s;
        QTest::addRow("4096, .1 a directory") << QByteArray("4096") << u"directory"_s;
        QTest::addRow("4096, .1 a fifo") << QByteArray("4096") << u"fifo"_s;
    }

    void linesFromManyThreadsNeverInterleaveWithClosesOrRotations()
    {
        QFETCH(QByteArray, maxBytes);
        QFETCH(QString, older);
        const int bound = maxBytes.toInt(); // 0 when not a number
        const bool bounded = bound > 0;
        const bool drops = older == u"directory" || older == u"fifo"; // kept, so no rotation
        const bool rotates = bounded && !drops;
        const QString olderPath = m_path + u".1"_s;
        QVERIFY(older.isEmpty() || obstruct(older, olderPath));

        QStringList arguments{u"threads"_s};
        if (!maxBytes.isNull())
            arguments.append(QString::fromLatin1(maxBytes));
        QCOMPARE(run(QStringLiteral(DEBUGLOG_CHILD), arguments).exitCode, 0);

        const QByteArray live = readFile(m_path);
        const QByteArray old = rotates ? readFile(olderPath) : QByteArray();
        QCOMPARE(QFileInfo(olderPath).isFile(), rotates);
        QVERIFY(!bounded || (live.size() <= bound && old.size() <= bound));
        QVERIFY2(!rotates || old.size() > bound - 200, "rotated only when full");
        if (older == u"symlink")
            QCOMPARE(readFile(m_dir->filePath(u"victim"_s)), QByteArray("precious\n"));

        // Both files start with the banner and hold whole lines. Per thread, the lines in them
        // follow each other without a gap (from the first line on, unless some were rotated away).
        const QRegularExpression line(
            u"^(\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d (\\[\\d+\\] (DEBUG: thread (\\d) line (\\d+)|--- DEBUG LOG OPENED ---)|--- DEBUG LOG CLOSED ---))?$"_s);
        const QRegularExpression banner(u"^\\n"_s + s_time +
                                        u"\\[\\d+\\] --- DEBUG LOG OPENED ---\\n"_s);
        QList<int> next(8, rotates ? -1 : 0);
        for (const QByteArray &file : rotates ? QList{old, live} : QList{live}) {
            QVERIFY2(banner.match(QString::fromLatin1(file)).hasMatch(), file.left(80).constData());
            QVERIFY(file.endsWith('\n'));
            for (const QByteArray &raw : file.split('\n')) {
                const QRegularExpressionMatch match = line.match(QString::fromLatin1(raw));
                QVERIFY2(match.hasMatch(), raw.constData());
                if (!match.hasCaptured(5))
                    continue;
                const int thread = match.captured(4).toInt();
                const int number = match.captured(5).toInt();
                QVERIFY2(next[thread] < 0 || number == next[thread] || drops, raw.constData());
                next[thread] = number + 1;
            }
        }
        for (int n : next) // a thread may have ended before the last rotation
            QVERIFY2(drops || n == 500 || (rotates && n < 0), qPrintable(QString::number(n)));
    }

private:
    // Puts a symlink to a file ("precious\n") or to nothing, a directory or a fifo at the path.
    bool obstruct(const QString &kind, const QString &path)
    {
        QFile victim(m_dir->filePath(u"victim"_s));
        if (kind == u"symlink"_s &&
            !(victim.open(QIODevice::WriteOnly) && victim.write("precious\n")))
            return false;
        victim.close();
        if (kind == u"symlink"_s || kind == u"dangling"_s)
            return QFile::link(victim.fileName(), path);
        if (kind == u"directory"_s)
            return QDir().mkdir(path);
        return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
};

QTEST_GUILESS_MAIN(tst_DebugLog)
#include "tst_debuglog.moc"
