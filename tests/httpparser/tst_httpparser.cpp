#include "../common/testhelpers.h"

#include "http/httpparser.h"

using namespace vxtest;

// The front door's request parser in-process, every head whole and byte by byte.
class tst_HttpParser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void heads_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<int>("status"); // 0: usable
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<bool>("keepAlive");
        const QByteArray host = "Host: a\r\n";
        const auto row = [](const char *name, const QByteArray &head, int status,
                            const QByteArray &path = {}, bool keepAlive = true) {
            QTest::addRow("%s", name) << head << status << path << keepAlive;
        };
        row("plain", "GET /ip HTTP/1.1\r\n" + host + "\r\n", 0, "/ip");
        row("empty lines first", "\r\n\nGET /ip HTTP/1.1\r\n" + host + "\r\n", 0, "/ip");
        row("decoded path, query apart", "GET /a%20b?x=%41 HTTP/1.1\r\n" + host + "\r\n", 0,
            "/a b");
        row("absolute form", "GET http://a:80/ip?x HTTP/1.1\r\n" + host + "\r\n", 0, "/ip");
        row("absolute form, no path", "GET HTTPS://a HTTP/1.1\r\n" + host + "\r\n", 0, "/");
        row("1.0 without Host closes", "GET /ip HTTP/1.0\r\n\r\n", 0, "/ip", false);
        row("1.0 keep-alive", "GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", 0, "/");
        row("1.1 close", "GET / HTTP/1.1\r\n" + host + "Connection: x, close\r\n\r\n", 0, "/",
            false);
        row("OWS and obs-text in a value", "GET / HTTP/1.1\r\n" + host + "X: \t\xe9 b \r\n\r\n", 0,
            "/");
        row("Content-Length 0", "GET / HTTP/1.1\r\n" + host + "Content-Length: 00\r\n\r\n", 0, "/");
        row("bare LF", "GET / HTTP/1.1\n" + host + "\r\n", 400);
        row("bare LF ends the head", "GET / HTTP/1.1\r\n" + host + "\n", 400);
        row("CR CR LF", "GET / HTTP/1.1\r\r\n" + host + "\r\n", 400);
        row("bare CR in a value", "GET / HTTP/1.1\r\n" + host + "X: a\rb\r\n\r\n", 400);
        row("NUL in a value", "GET / HTTP/1.1\r\n" + host + QByteArray("X: a\0b\r\n\r\n", 10), 400);
        row("DEL in a value", "GET / HTTP/1.1\r\n" + host + "X: a\x7f\r\n\r\n", 400);
        row("ESC in a value", "GET / HTTP/1.1\r\n" + host + "X: \x1b[2K\r\n\r\n", 400);
        row("folded line", "GET / HTTP/1.1\r\n" + host + "X: a\r\n b\r\n\r\n", 400);
        row("blank before colon", "GET / HTTP/1.1\r\nHost : a\r\n\r\n", 400);
        row("no Host", "GET / HTTP/1.1\r\n\r\n", 400);
        row("two Host", "GET / HTTP/1.1\r\n" + host + host + "\r\n", 400);
        row("bad Host", "GET / HTTP/1.1\r\nHost: a b\r\n\r\n", 400);
        row("two spaces", "GET  / HTTP/1.1\r\n" + host + "\r\n", 400);
        row("target not visible ASCII", "GET /\xe9 HTTP/1.1\r\n" + host + "\r\n", 400);
        row("relative target", "GET ip HTTP/1.1\r\n" + host + "\r\n", 400);
        row("lower-case version", "GET / http/1.1\r\n" + host + "\r\n", 400);
        row("HTTP/2.0", "GET / HTTP/2.0\r\n" + host + "\r\n", 505);
        row("body", "GET / HTTP/1.1\r\n" + host + "Content-Length: 1\r\n\r\n", 413);
        row("chunked", "GET / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n", 413);
        row("both lengths",
            "GET / HTTP/1.1\r\n" + host + "Content-Length: 0\r\nTransfer-Encoding: chunked\r\n\r\n",
            400);
        row("two lengths",
            "GET / HTTP/1.1\r\n" + host + "Content-Length: 0\r\nContent-Length: 0\r\n\r\n", 400);
        row("signed length", "GET / HTTP/1.1\r\n" + host + "Content-Length: +0\r\n\r\n", 400);
        row("8 KiB head", "GET / HTTP/1.1\r\n" + host + "X: " + QByteArray(8192, 'a') + "\r\n\r\n",
            431);
        row("101 fields",
            "GET / HTTP/1.1\r\n" + host + QByteArray("X: a\r\n").repeated(100) + "\r\n", 431);
    }

    // Whole or one byte at a time, a head reads the same, and the parser takes exactly its
    // bytes: what follows (the next pipelined request) is left.
    void heads()
    {
        QFETCH(QByteArray, head);
        QFETCH(int, status);
        QFETCH(QByteArray, path);
        QFETCH(bool, keepAlive);
        for (const bool byByte : {false, true}) {
            HttpParser parser;
            const QByteArray sent = head + "GET /next HTTP/1.1\r\n";
            qsizetype used = 0;
            while (used < sent.size() && (parser.state() != HttpParser::State::Complete &&
                                          parser.state() != HttpParser::State::Failed))
                used +=
                    parser.feed(QByteArrayView(sent).sliced(used, byByte ? 1 : sent.size() - used));
            const HttpRequest request = parser.takeRequest();
            QCOMPARE(request.errorStatus(), status);
            if (status != 0)
                continue;
            QCOMPARE(used, head.size());
            QCOMPARE(request.path(), path);
            QCOMPARE(request.keepAlive(), keepAlive);
            QCOMPARE(parser.state(), HttpParser::State::BeforeRequestLine);
        }
    }
};

QTEST_GUILESS_MAIN(tst_HttpParser)
#include "tst_httpparser.moc"
