#include "../common/testhelpers.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <memory>

using namespace vxtest;

namespace {
const QByteArray kCloseRequest = "GET /ip HTTP/1.1\r\nConnection: close\r\n\r\n";
// The front door closes a client that sends no complete request for 10 s.
constexpr int kIdlePatience = 30000;

// A connection to the front door from a loopback address of our choice.
class HttpClient
{
public:
    bool connectTo(quint16 port, const QHostAddress &from)
    {
        const bool v6 = from.protocol() == QAbstractSocket::IPv6Protocol;
        if (!m_socket.bind(from, 0))
            return false;
        m_socket.connectToHost(v6 ? from : QHostAddress(QHostAddress::LocalHost), port);
        return m_socket.waitForConnected(kPatience);
    }
    void send(const QByteArray &data)
    {
        m_socket.write(data);
        m_socket.flush();
    }
    // One answer: its head and its body (by Content-Length); empty when none came.
    QByteArray takeAnswer(QByteArray *body)
    {
        qsizetype end = -1;
        while ((end = m_data.indexOf("\r\n\r\n")) < 0 && read()) {
        }
        if (end < 0)
            return {};
        const QRegularExpression field(u"\r\nContent-Length: (\\d+)\r\n"_s);
        const qint64 length =
            field.match(QString::fromLatin1(m_data.left(end + 2))).captured(1).toLongLong();
        while (m_data.size() < end + 4 + length && read()) {
        }
        const QByteArray head = m_data.left(end + 2);
        *body = m_data.mid(end + 4, length);
        m_data.remove(0, end + 4 + length);
        return head;
    }
    // Everything until the front door closes the connection.
    QByteArray readToClose(int patience)
    {
        QDeadlineTimer deadline(patience);
        while (m_socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired())
            read();
        return std::exchange(m_data, {}) + m_socket.readAll();
    }
    bool isClosed() const { return m_socket.state() == QAbstractSocket::UnconnectedState; }

private:
    bool read()
    {
        if (!m_socket.waitForReadyRead(kPatience) && m_socket.bytesAvailable() == 0)
            return false;
        m_data += m_socket.readAll();
        return true;
    }

    QTcpSocket m_socket;
    QByteArray m_data;
};

struct Answer
{
    int status = 0;
    QByteArray head;
    QByteArray body;
};

Answer get(quint16 port, const QString &from, const QByteArray &target,
           const QByteArray &fields = {})
{
    HttpClient client;
    if (!client.connectTo(port, QHostAddress(from)))
        return {};
    client.send("GET " + target + " HTTP/1.1\r\nHost: localhost\r\n" + fields + "\r\n");
    Answer answer;
    answer.head = client.takeAnswer(&answer.body);
    answer.status = answer.head.mid(9, 3).toInt();
    return answer;
}

QByteArray field(const QByteArray &head, const QByteArray &name)
{
    for (const QByteArray &line : head.split('\n')) {
        if (line.startsWith(QByteArray(name + ": ")))
            return line.mid(name.size() + 2).trimmed();
    }
    return {};
}

// Whether the check reached the listener (accepted meanwhile or waiting to be).
bool wasReached(QTcpServer &listener)
{
    return listener.hasPendingConnections() || listener.waitForNewConnection(kPatience);
}

bool skipWithoutIpv6(const QString &from)
{
    return from.contains(u':') && !hasIpv6Loopback();
}
} // namespace

// The web front door of the real executable over loopback: the caller's address, port checks
// and their reservation, the limits on what a client may send, and the page in a browser.
class tst_Http : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_http_port = freePort();
        m_tester = std::make_unique<Tester>(
            QStringList{u"VX_HTTP_PORT="_s + QString::number(m_http_port),
                        u"VX_TRUSTED_PROXIES=127.0.0.1"_s, u"VX_MAX_CONNECTIONS_PER_ADDRESS=8"_s});
        QVERIFY(m_tester->startServing());
        QTRY_VERIFY_WITH_TIMEOUT(get(m_http_port, u"127.0.0.1"_s, "/ip").status == 200, kPatience);
    }

    void cleanupTestCase() { m_tester.reset(); }

    void caller_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QByteArray>("fields");
        QTest::addColumn<QByteArray>("body");
        QTest::addRow("IPv4, text")
            << u"127.0.0.1"_s << QByteArray("/ip") << QByteArray() << QByteArray("127.0.0.1\n");
        QTest::addRow("IPv4, Accept JSON")
            << u"127.0.0.1"_s << QByteArray("/ip") << QByteArray("Accept: application/json\r\n")
            << QByteArray("{\"ip\": \"127.0.0.1\"}\n");
        QTest::addRow("IPv4, format=json")
            << u"127.0.0.1"_s << QByteArray("/ip?format=json") << QByteArray()
            << QByteArray("{\"ip\": \"127.0.0.1\"}\n");
        QTest::addRow("IPv6, text")
            << u"::1"_s << QByteArray("/ip") << QByteArray() << QByteArray("::1\n");
        QTest::addRow("IPv6, format=json") << u"::1"_s << QByteArray("/ip?format=json")
                                           << QByteArray() << QByteArray("{\"ip\": \"::1\"}\n");
        QTest::addRow("trusted proxy forwards")
            << u"127.0.0.1"_s << QByteArray("/ip") << QByteArray("X-Forwarded-For: 127.0.0.2\r\n")
            << QByteArray("127.0.0.2\n");
        QTest::addRow("trusted proxy, chain: right-most untrusted")
            << u"127.0.0.1"_s << QByteArray("/ip")
            << QByteArray("X-Forwarded-For: 203.0.113.9, 127.0.0.2\r\n"
                          "X-Forwarded-For: 127.0.0.1\r\n")
            << QByteArray("127.0.0.2\n");
        QTest::addRow("trusted proxy, no address")
            << u"127.0.0.1"_s << QByteArray("/ip")
            << QByteArray("X-Forwarded-For: 127.0.0.2, nobody\r\n") << QByteArray("127.0.0.1\n");
        QTest::addRow("untrusted peer forwards")
            << u"127.0.0.3"_s << QByteArray("/ip") << QByteArray("X-Forwarded-For: 127.0.0.2\r\n")
            << QByteArray("127.0.0.3\n");
        QTest::addRow("untrusted IPv6 peer forwards")
            << u"::1"_s << QByteArray("/ip") << QByteArray("X-Forwarded-For: 127.0.0.2\r\n")
            << QByteArray("::1\n");
    }

    // The caller's address, as text or JSON; IPv4 callers of the dual-stack socket show dotted.
    // X-Forwarded-For counts only from a trusted proxy. Every answer forbids caching, sniffing
    // and anything but its own content.
    void caller()
    {
        QFETCH(QString, from);
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, fields);
        QFETCH(QByteArray, body);
        if (skipWithoutIpv6(from))
            QSKIP("no IPv6 loopback here");
        const Answer answer = get(m_http_port, from, target, fields);
        QCOMPARE(answer.status, 200);
        QCOMPARE(answer.body, body);
        QCOMPARE(field(answer.head, "Content-Type"), body.startsWith('{')
                                                         ? QByteArray("application/json")
                                                         : QByteArray("text/plain; charset=utf-8"));
        QCOMPARE(field(answer.head, "Cache-Control"), QByteArray("no-store"));
        QCOMPARE(field(answer.head, "X-Content-Type-Options"), QByteArray("nosniff"));
        const QByteArray policy = field(answer.head, "Content-Security-Policy");
        // Answers that are no page load nothing at all.
        QCOMPARE(policy, QByteArray("default-src 'none'; frame-ancestors 'none'; base-uri 'none'"));
    }

    void portCheck_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QByteArray>("fields");
        QTest::addColumn<QByteArray>("target"); // %1: the port checked
        QTest::addColumn<bool>("listening");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("caller"); // and where the check connects to
        const QByteArray path = "/port/%1";
        const QByteArray forwarded = "X-Forwarded-For: 127.0.0.2\r\n";
        QTest::addRow("listening")
            << u"127.0.0.1"_s << QByteArray() << path << true << 200 << u"127.0.0.1"_s;
        QTest::addRow("closed") << u"127.0.0.1"_s << QByteArray() << path << false << 200
                                << u"127.0.0.1"_s;
        QTest::addRow("IPv6, listening")
            << u"::1"_s << QByteArray() << path << true << 200 << u"::1"_s;
        QTest::addRow("trusted proxy: the forwarded caller")
            << u"127.0.0.1"_s << forwarded << QByteArray("/port/%1?timeout=5000") << true << 200
            << u"127.0.0.2"_s;
        QTest::addRow("untrusted peer: itself")
            << u"127.0.0.3"_s << forwarded << path << true << 200 << u"127.0.0.3"_s;
        QTest::addRow("port 0") << u"127.0.0.1"_s << QByteArray() << QByteArray("/port/0") << false
                                << 400 << QString();
        QTest::addRow("port 70000") << u"127.0.0.1"_s << QByteArray() << QByteArray("/port/70000")
                                    << false << 400 << QString();
        QTest::addRow("port abc") << u"127.0.0.1"_s << QByteArray() << QByteArray("/port/abc")
                                  << false << 400 << QString();
        QTest::addRow("timeout soon")
            << u"127.0.0.1"_s << QByteArray() << QByteArray("/port/%1?timeout=soon") << false << 400
            << QString();
    }

    // A port check connects to the caller's own address, never to one from an untrusted
    // header, and tells whether anything took the connection; bad ports are refused.
    void portCheck()
    {
        QFETCH(QString, from);
        QFETCH(QByteArray, fields);
        QFETCH(QByteArray, target);
        QFETCH(bool, listening);
        QFETCH(int, status);
        QFETCH(QString, caller);
        if (skipWithoutIpv6(from))
            QSKIP("no IPv6 loopback here");
        QTcpServer listener;
        const quint16 port = freePort();
        QVERIFY(!listening || listener.listen(QHostAddress::Any, port));
        const Answer answer = get(m_http_port, from, withPort(target, port), fields);
        QCOMPARE(answer.status, status);
        QCOMPARE(field(answer.head, "Content-Type"), QByteArray("application/json"));
        const QJsonObject json = QJsonDocument::fromJson(answer.body).object();
        if (status != 200) {
            QVERIFY2(!json.value(u"error"_s).toString().isEmpty(), answer.body.constData());
            return;
        }
        QCOMPARE(json.value(u"ip"_s).toString(), caller);
        QCOMPARE(json.value(u"port"_s).toInt(), int(port));
        QCOMPARE(json.value(u"protocol"_s).toString(), u"tcp"_s);
        QCOMPARE(json.value(u"reachable"_s).toBool(), listening);
        QVERIFY2(json.value(u"ms"_s).toInt(-1) >= 0, answer.body.constData());
        QCOMPARE(listener.isListening() && wasReached(listener), listening);
        if (listening) {
            const QTcpSocket *reached = listener.nextPendingConnection();
            bool mapped = false;
            const quint32 ipv4 = reached->localAddress().toIPv4Address(&mapped);
            QCOMPARE((mapped ? QHostAddress(ipv4) : reached->localAddress()).toString(), caller);
        }
    }

    // A port that a control connection's test holds is not checked meanwhile (503), and is
    // checked again once that test has ended.
    void reservationSharedWithControlTests()
    {
        const quint16 port = freePort();
        Client control(m_tester->port());
        control.send(withPort("testport in tcp %1 60000\r\n", port));
        QCOMPARE(control.takeLine(), withPort("porttesting in tcp %1\r\n", port));
        const Answer busy = get(m_http_port, u"127.0.0.1"_s, withPort("/port/%1", port));
        QCOMPARE(busy.status, 503);
        QVERIFY2(QJsonDocument::fromJson(busy.body)
                     .object()
                     .value(u"error"_s)
                     .toString()
                     .contains(u"being tested"_s),
                 busy.body.constData());
        control.close();
        QTRY_COMPARE_WITH_TIMEOUT(
            get(m_http_port, u"127.0.0.1"_s, withPort("/port/%1", port)).status, 200, kPatience);
    }

    void requestLimits_data()
    {
        QTest::addColumn<QByteArray>("sent");  // %1: a closed port
        QTest::addColumn<QString>("received"); // pattern for all that arrives until the close
        QTest::addColumn<QByteArray>("logged");
        const QByteArray close = kCloseRequest;
        const QString ipClosing = u"HTTP/1.1 200 OK\r\n.*Connection: close\r\n\r\n127.0.0.1\n$"_s;
        QTest::addRow("pipelined: answered in order")
            << "GET /port/%1?timeout=100 HTTP/1.1\r\n\r\nGET /ip?format=json HTTP/1.1\r\n\r\n" +
                   close
            << u"^HTTP/1.1 200 OK\r\n[^{]*\\{\"ip\": \"127.0.0.1\", \"port\": %1, .*"
               "HTTP/1.1 200 OK\r\n[^{]*\\{\"ip\": \"127.0.0.1\"\\}\n"_s +
                   ipClosing
            << QByteArray("HTTP GET /port/%1?timeout from 127.0.0.1: 200");
        QTest::addRow("long path, logged cut")
            << "GET /" + QByteArray(300, 'x') + " HTTP/1.1\r\n\r\n" + close
            << u"^HTTP/1.1 404 Not Found\r\n.*"_s + ipClosing
            << "HTTP GET /" + QByteArray(199, 'x') + " ... (301 bytes) from 127.0.0.1: 404";
        QTest::addRow("POST") << "POST /ip HTTP/1.1\r\nContent-Length: 0\r\n\r\n" + close
                              << u"^HTTP/1.1 405 .*\r\nAllow: GET\r\n.*"_s + ipClosing
                              << QByteArray();
        QTest::addRow("head over 8 KiB")
            << "GET /ip HTTP/1.1\r\nX-Pad: " + QByteArray(9000, 'a') + "\r\n\r\n" + close
            << u"^HTTP/1.1 431 [^\r]*\r\n.*\r\n\r\nrequest head longer than 8192 bytes\n$"_s
            << QByteArray("HTTP - - from 127.0.0.1: 431");
        QTest::addRow("body") << "GET /ip HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello" + close
                              << u"^HTTP/1.1 413 .*\r\n\r\nrequests carry no body\n$"_s
                              << QByteArray();
        QTest::addRow("chunked body")
            << "GET /ip HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + close
            << u"^HTTP/1.1 413 .*\r\n\r\nrequests carry no body\n$"_s << QByteArray();
        QTest::addRow("HTTP/2.0") << "GET /ip HTTP/2.0\r\n\r\n" + close
                                  << u"^HTTP/1.1 505 .*Connection: close\r\n\r\n[^\r]*$"_s
                                  << QByteArray();
        QTest::addRow("no version")
            << "GET /ip\r\n\r\n" + close << u"^HTTP/1.1 400 .*Connection: close\r\n\r\n[^\r]*$"_s
            << QByteArray();
        QTest::addRow("slow client")
            << QByteArray("GET /ip HTTP/1.1\r\nHost: x\r\n") << u"^$"_s << QByteArray();
    }

    // One request at a time, answered in order; a head over 8 KiB, a body, an unknown version
    // or a malformed line ends the connection after its answer; a client that leaves its
    // request unfinished is closed without one. Each request leaves a line in the debug log.
    void requestLimits()
    {
        QFETCH(QByteArray, sent);
        QFETCH(QString, received);
        QFETCH(QByteArray, logged);
        const quint16 closed = freePort();
        HttpClient client;
        QVERIFY(client.connectTo(m_http_port, QHostAddress(u"127.0.0.1"_s)));
        client.send(withPort(sent, closed));
        const QString all = QString::fromLatin1(client.readToClose(kIdlePatience));
        QVERIFY(client.isClosed());
        const QRegularExpression pattern(received.replace(u"%1"_s, QString::number(closed)),
                                         QRegularExpression::DotMatchesEverythingOption);
        QVERIFY2(pattern.match(all).hasMatch(), qPrintable(all.left(2000)));
        if (!logged.isEmpty())
            QTRY_VERIFY_WITH_TIMEOUT(log().contains(withPort(logged, closed)), kPatience);
    }

    // VX_MAX_CONNECTIONS_PER_ADDRESS (8 here) counts HTTP connections too: the ninth from one
    // address is closed unanswered, other addresses are served, and room comes back.
    void connectionsPerAddress()
    {
        std::vector<std::unique_ptr<HttpClient>> held;
        for (int i = 0; i < 8; ++i) {
            held.push_back(std::make_unique<HttpClient>());
            QVERIFY(held.back()->connectTo(m_http_port, QHostAddress(u"127.0.0.3"_s)));
            held.back()->send("GET /ip HTTP/1.1\r\n\r\n");
            QByteArray body;
            QVERIFY(!held.back()->takeAnswer(&body).isEmpty());
        }
        HttpClient ninth;
        QVERIFY(ninth.connectTo(m_http_port, QHostAddress(u"127.0.0.3"_s)));
        ninth.send(kCloseRequest);
        QCOMPARE(ninth.readToClose(kPatience), QByteArray());
        QCOMPARE(get(m_http_port, u"127.0.0.4"_s, "/ip").body, QByteArray("127.0.0.4\n"));
        held.clear();
        QTRY_COMPARE_WITH_TIMEOUT(get(m_http_port, u"127.0.0.3"_s, "/ip").status, 200, kPatience);
    }

    // Debian's headless Chromium loads the page, the form's fields make the check's address,
    // and the result page it renders tells the port is reachable.
    void pageInBrowser()
    {
        const QString chromium = u"/usr/bin/chromium"_s;
        if (!QFile::exists(chromium))
            QSKIP("chromium is not installed");
        QTemporaryDir profile;
        const auto render = [&](const QString &url) {
            return run(chromium,
                       {u"--headless"_s, u"--no-sandbox"_s, u"--disable-gpu"_s, u"--disable-quic"_s,
                        u"--no-first-run"_s, u"--disable-background-networking"_s,
                        u"--disable-component-update"_s, u"--disable-sync"_s,
                        u"--user-data-dir="_s + profile.path(), u"--dump-dom"_s, url})
                .out;
        };
        const QString base = u"http://127.0.0.1:%1"_s.arg(m_http_port);
        const QString home = QString::fromUtf8(render(base + u'/'));
        QVERIFY2(home.contains(u"Your address is <strong id=\"address\">127.0.0.1</strong>"_s),
                 qPrintable(home));
        const QRegularExpressionMatch form =
            QRegularExpression(u"<form method=\"get\" action=\"([^\"]+)\">.*"
                               "<label for=\"port\">.*<input id=\"port\" name=\"([^\"]+)\""_s,
                               QRegularExpression::DotMatchesEverythingOption)
                .match(home);
        QVERIFY2(form.hasMatch(), qPrintable(home));
        QTcpServer listener;
        const quint16 port = freePort();
        QVERIFY(listener.listen(QHostAddress::AnyIPv4, port));
        const QString result = QString::fromUtf8(render(
            base + form.captured(1) + u'?' + form.captured(2) + u'=' + QString::number(port)));
        QVERIFY2(QRegularExpression(u"<p id=\"result\" role=\"status\">Port %1 on 127.0.0.1 is "
                                    "reachable: the tester connected in \\d+ ms.</p>"_s.arg(port))
                     .match(result)
                     .hasMatch(),
                 qPrintable(result));
        QVERIFY(wasReached(listener));
    }

private:
    QByteArray log() const { return m_tester->log(); }

    std::unique_ptr<Tester> m_tester;
    quint16 m_http_port = 0;
};

QTEST_GUILESS_MAIN(tst_Http)
#include "tst_http.moc"
