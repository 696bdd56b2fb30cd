#include "../common/jsonschema.h"
#include "../common/testhelpers.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <QScopeGuard>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>

#include <memory>
#include <vector>

using namespace vxtest;

namespace {
const QByteArray kCloseRequest = "GET /ip HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n";
const QByteArray kBadForwarded = "bad X-Forwarded-For\n";
const QByteArray kNoClient = "no client address\n";
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
    void shutdownWrite() { ::shutdown(int(m_socket.socketDescriptor()), SHUT_WR); }

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

// A corpus line's request: \r \n \t \0 \xHH and \\ stand for their bytes.
QByteArray unescaped(const QByteArray &text)
{
    QByteArray bytes;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = i + 1 < text.size() && text[i] == '\\' ? text[++i] : 0;
        if (c == 'x')
            bytes += char(text.mid(++i, 2).toInt(nullptr, 16)), ++i;
        else
            bytes += c == 0     ? text[i]
                     : c == 'r' ? '\r'
                     : c == 'n' ? '\n'
                     : c == 't' ? '\t'
                     : c == '0' ? '\0'
                                : c;
    }
    return bytes;
}

// A corpus line's request with its place-holders made: <FILL n> pads a field value to a head
// of n bytes, <FIELDS n> is n field lines.
QByteArray corpusRequest(const QByteArray &text)
{
    QByteArray request = unescaped(text);
    const QRegularExpression holder(u"<(FILL|FIELDS) (\\d+)>"_s);
    const QRegularExpressionMatch match = holder.match(QString::fromLatin1(request));
    if (!match.hasMatch())
        return request;
    const int n = match.captured(2).toInt();
    QByteArray made;
    if (match.captured(1) == u"FILL"_s)
        made = QByteArray(n - (request.size() - match.capturedLength()), 'a');
    for (int i = 0; match.captured(1) == u"FIELDS"_s && i < n; ++i)
        made += "F" + QByteArray::number(i) + ": v\r\n";
    return request.replace(match.capturedStart(), match.capturedLength(), made);
}

// Whether a server accepted (a) or refused (r) each request it answered of the raw ones sent
// before the client half-closed, in order.
QByteArray verdictsOf(quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(kPatience))
        return "not connected";
    socket.write(request);
    socket.flush();
    ::shutdown(int(socket.socketDescriptor()), SHUT_WR);
    QByteArray answers;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(kPatience))
        answers += socket.readAll();
    answers += socket.readAll();
    QByteArray verdicts;
    const QRegularExpression status(u"HTTP/1.1 (\\d{3}) "_s);
    for (auto it = status.globalMatch(QString::fromLatin1(answers)); it.hasNext();) {
        const int code = it.next().captured(1).toInt();
        const bool refused = code == 400 || code == 413 || code == 431 || code == 505;
        verdicts += refused ? 'r' : 'a';
    }
    return verdicts;
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
                        u"VX_TRUSTED_PROXIES=127.0.0.6"_s, u"VX_MAX_CONNECTIONS_PER_ADDRESS=8"_s});
        QVERIFY(m_tester->startServing());
        QTRY_VERIFY_WITH_TIMEOUT(get(m_http_port, u"127.0.0.1"_s, "/ip").status == 200, kPatience);
    }

    void cleanupTestCase()
    {
        m_tester.reset();
        m_node.kill();
        m_node.waitForFinished(kPatience);
    }

    void differential_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<bool>("agree");
        for (const QByteArray &line : readFile(QStringLiteral(VX_HTTP_CORPUS)).split('\n')) {
            const QList<QByteArray> parts = line.split('|');
            if (parts.size() == 3 && !line.startsWith('#'))
                QTest::addRow("%s", parts[1].constData())
                    << corpusRequest(parts[2]) << (parts[0] == "agree");
        }
    }

    // Node's HTTP server (llhttp, strict) and the front door take and refuse the same raw
    // requests, pipelined ones each in turn, but for the differences the corpus lists and
    // explains.
    void differential()
    {
        QFETCH(QByteArray, request);
        QFETCH(bool, agree);
        if (m_node.state() == QProcess::NotRunning) {
            m_node.start(u"node"_s, {QStringLiteral(VX_LLHTTP_SERVER)});
            if (!m_node.waitForStarted(kPatience) || !m_node.waitForReadyRead(kPatience))
                QSKIP("node is not installed");
            m_node_port = quint16(m_node.readLine().trimmed().toUInt());
        }
        QByteArray ours = verdictsOf(m_http_port, request);
        QByteArray theirs = verdictsOf(m_node_port, request);
        // A server that closes instead of answering a request refuses it.
        const qsizetype answered = std::max(ours.size(), theirs.size());
        ours = ours.leftJustified(answered, 'r');
        theirs = theirs.leftJustified(answered, 'r');
        QVERIFY2((ours == theirs) == agree,
                 qPrintable(u"front door %1, llhttp %2"_s.arg(QString::fromLatin1(ours),
                                                              QString::fromLatin1(theirs))));
    }

    // One budget of descriptors for both doors (a limit of 150 here): a flood of web clients
    // neither ends the process nor leaves the control port without room for a client and its
    // test, and accepting never spins while descriptors are short.
    void descriptorsSharedWithControlPort()
    {
        const quint16 httpPort = freePort();
        Tester tester({u"VX_HTTP_PORT="_s + QString::number(httpPort)});
        tester.setDescriptorLimit(150);
        QVERIFY(tester.startServing());
        Flood flood;
        QCOMPARE(flood.open(httpPort, 300), 300);
        QVERIFY(get(httpPort, u"127.0.0.2"_s, "/ip").status == 200);
        Client control(tester.port());
        QCOMPARE(control.linesBeforeBarrier(), QByteArray());
        const quint16 port = freePort();
        control.send(withPort("testport in tcp %1 1000\r\n", port));
        QCOMPARE(control.takeLine(), withPort("porttesting in tcp %1\r\n", port));
        QCOMPARE(control.takeLine(), withPort("porttesting in tcp %1 timeout\r\n", port));
        // A measuring window, not a wait for a condition.
        const qint64 before = tester.status("cpu");
        QTest::qWait(2000);
        const qint64 used = tester.status("cpu") - before;
        QVERIFY2(used >= 0 && used <= 40, qPrintable(u"%1 ticks in 2 s"_s.arg(used)));
        QVERIFY(tester.isRunning());
    }

    static QByteArray ipJson(const char *loopback)
    {
        return "{\"version\": 1, \"ip\": \"" + QByteArray(loopback) +
               "\", \"kind\": \"loopback\", \"warning\": \"the tester runs on this machine: "
               "these results say nothing about the internet\"}\n";
    }

    void caller_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QByteArray>("fields");
        QTest::addColumn<QByteArray>("body");
        const auto row = [](const char *name, const char *from, const char *target,
                            const QByteArray &fields, const QByteArray &body) {
            QTest::addRow("%s", name)
                << QString::fromLatin1(from) << QByteArray(target) << fields << body;
        };
        row("IPv4, text", "127.0.0.1", "/ip", {}, "127.0.0.1\n");
        row("IPv4, Accept JSON", "127.0.0.1", "/ip", "Accept: application/json\r\n",
            ipJson("127.0.0.1"));
        row("IPv4, format=json", "127.0.0.1", "/ip?format=json", {}, ipJson("127.0.0.1"));
        row("IPv6, text", "::1", "/ip", {}, "::1\n");
        row("IPv6, format=json", "::1", "/ip?format=json", {}, ipJson("::1"));
        row("trusted proxy forwards", "127.0.0.6", "/ip", "X-Forwarded-For: 127.0.0.2\r\n",
            "127.0.0.2\n");
        row("trusted proxy, chain: right-most untrusted", "127.0.0.6", "/ip",
            "X-Forwarded-For: 203.0.113.9, 127.0.0.2\r\nX-Forwarded-For: 127.0.0.6\r\n",
            "127.0.0.2\n");
        // A proxy that names no client is not the caller either.
        row("trusted proxy, no X-Forwarded-For", "127.0.0.6", "/ip", {}, kNoClient);
        row("trusted proxy, only proxies", "127.0.0.6", "/port/1",
            "X-Forwarded-For: 127.0.0.6, 127.0.0.6\r\n",
            "{\"version\": 1, \"error\": \"no client address\"}\n");
        // A right-most entry that is no plain unicast address refuses the request, checks too.
        for (const char *entry : {"nobody", "0.0.0.0", "127.1", "224.0.0.1", "255.255.255.255"})
            row(qPrintable(u"trusted proxy, "_s + QLatin1StringView(entry)), "127.0.0.6", "/port/1",
                "X-Forwarded-For: 127.0.0.2, " + QByteArray(entry) + "\r\n", kBadForwarded);
        row("untrusted peer forwards", "127.0.0.3", "/ip", "X-Forwarded-For: 127.0.0.2\r\n",
            "127.0.0.3\n");
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
        QCOMPARE(answer.status,
                 body == kBadForwarded || body.contains(kNoClient.chopped(1)) ? 400 : 200);
        QCOMPARE(answer.body, body);
        if (body.startsWith('{'))
            QCOMPARE(schemaViolation(
                         QJsonDocument::fromJson(answer.body).object(),
                         documentedSchema(QStringLiteral(VX_JSON_DOC),
                                          answer.status == 200 ? u"web-ip"_s : u"web-error"_s)),
                     QString());
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
        const auto row = [](const char *name, const char *from, const QByteArray &fields,
                            const char *target, bool listening, int status,
                            const char *caller = "") {
            QTest::addRow("%s", name) << QString::fromLatin1(from) << fields << QByteArray(target)
                                      << listening << status << QString::fromLatin1(caller);
        };
        const QByteArray forwarded = "X-Forwarded-For: 127.0.0.2\r\n";
        row("listening", "127.0.0.1", {}, "/port/%1", true, 200, "127.0.0.1");
        row("closed", "127.0.0.1", {}, "/port/%1", false, 200, "127.0.0.1");
        row("IPv6, listening", "::1", {}, "/port/%1", true, 200, "::1");
        row("trusted proxy: the forwarded caller", "127.0.0.6", forwarded, "/port/%1?timeout=5000",
            true, 200, "127.0.0.2");
        row("untrusted peer: itself", "127.0.0.3", forwarded, "/port/%1", true, 200, "127.0.0.3");
        for (const char *bad :
             {"/port/0", "/port/70000", "/port/080", "/port/abc", "/port/%1?timeout=soon"})
            row(bad, "127.0.0.1", {}, bad, false, 400);
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
        QCOMPARE(
            schemaViolation(json, documentedSchema(QStringLiteral(VX_JSON_DOC),
                                                   status == 200 ? u"web-port"_s : u"web-error"_s)),
            QString());
        if (status != 200) {
            QVERIFY2(!json.value(u"error"_s).toString().isEmpty(), answer.body.constData());
            return;
        }
        QCOMPARE(json.value(u"kind"_s).toString(), u"loopback"_s);
        QCOMPARE(json.value(u"result"_s).toString(), listening ? u"reachable"_s : u"refused"_s);
        QCOMPARE(json.value(u"advice"_s).toArray().isEmpty(), listening);
        QCOMPARE(json.value(u"ip"_s).toString(), caller);
        QCOMPARE(json.value(u"port"_s).toInt(), int(port));
        QCOMPARE(json.value(u"protocol"_s).toString(), u"tcp"_s);
        QCOMPARE(json.value(u"reachable"_s).toBool(), listening);
        QCOMPARE(json.value(u"reason"_s).toString(), listening ? QString() : u"refused"_s);
        QVERIFY2(json.value(u"ms"_s).toInt(-1) >= 0, answer.body.constData());
        QCOMPARE(listener.isListening() && wasReached(listener), listening);
        if (listening) {
            const QTcpSocket *reached = listener.nextPendingConnection();
            bool mapped = false;
            const quint32 ipv4 = reached->localAddress().toIPv4Address(&mapped);
            QCOMPARE((mapped ? QHostAddress(ipv4) : reached->localAddress()).toString(), caller);
        }
    }

    // One word for one outcome, in the web door's JSON, text and page and in the client: a port
    // whose SYNs are dropped (a listener whose accept queue is full) is "timeout"; a port where
    // nothing listens is "refused".
    void outcomeWords()
    {
        QTcpServer full;
        full.setListenBacklogSize(0);
        QVERIFY(full.listen(QHostAddress::LocalHost, 0));
        full.pauseAccepting();
        std::vector<std::unique_ptr<QTcpSocket>> fillers;
        for (int i = 0; i < 4; ++i) {
            fillers.push_back(std::make_unique<QTcpSocket>());
            fillers.back()->connectToHost(QHostAddress::LocalHost, full.serverPort());
        }
        QTest::qWait(200);
        const quint16 closed = freePort();
        for (const auto &[port, word] :
             {std::pair{full.serverPort(), "timeout"}, std::pair{closed, "refused"}}) {
            const QByteArray target = "/port/" + QByteArray::number(port) + "?timeout=500";
            const QJsonObject json =
                QJsonDocument::fromJson(get(m_http_port, u"127.0.0.1"_s, target).body).object();
            QCOMPARE(json.value(u"result"_s).toString(), QString::fromLatin1(word));
            QVERIFY2(get(m_http_port, u"127.0.0.1"_s, target + "&format=text")
                         .body.contains(QByteArray("): " + QByteArray(word) + " (")),
                     word);
            QVERIFY2(get(m_http_port, u"127.0.0.1"_s,
                         "/check?port=" + QByteArray::number(port) + "&timeout=500")
                         .body.contains(QByteArray("<strong class=\"word\">" + QByteArray(word) +
                                                   "</strong>")),
                     word);
        }
        // The client's own "in" check of the dropped port: the tester connects and gives up.
        const Run client = run(qEnvironmentVariable("VX_CHECK"),
                               {u"--port"_s, QString::number(m_tester->port()), u"--timeout"_s,
                                u"500"_s, u"--direction"_s, u"in"_s, u"--json"_s, u"tcp"_s,
                                QString::number(full.serverPort())});
        const QJsonObject document = QJsonDocument::fromJson(client.out).object();
        QCOMPARE(document.value(u"checks"_s).toArray().at(0)[u"result"_s].toString(), u"timeout"_s);
        QCOMPARE(schemaViolation(document,
                                 documentedSchema(QStringLiteral(VX_JSON_DOC), u"client-checks"_s)),
                 QString());
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
        QTest::addColumn<QByteArray>("sent"); // %1: a closed port; ending "<FIN>": then half-closed
        QTest::addColumn<QString>("received"); // pattern for all that arrives; %2: the client
        QTest::addColumn<QByteArray>("logged");
        const QByteArray close = kCloseRequest;
        const QByteArray get = "GET /ip HTTP/1.1\r\nHost: a\r\n";
        const QString ipClosing = u"HTTP/1.1 200 OK\r\n.*Connection: close\r\n\r\n%2\n$"_s;
        QTest::addRow("pipelined: answered in order, logged once")
            << "GET /port/%1?timeout=100 HTTP/1.1\r\nHost: a\r\n\r\n"
               "GET /ip?format=json HTTP/1.1\r\nHost: a\r\n\r\n" +
                   close
            << u"^HTTP/1.1 200 OK\r\n[^{]*\\{\"version\": 1, \"ip\": \"%2\", [^\n]*\"port\": %1, .*"
               "HTTP/1.1 200 OK\r\n[^{]*\\{\"version\": 1, \"ip\": \"%2\", \"kind\": [^\n]*\\}\n"_s +
                   ipClosing
            << QByteArray("HTTP GET /port/%1?timeout from %2: 200 refused");
        QTest::addRow("HEAD: no body, the next answer intact")
            << "HEAD /ip HTTP/1.1\r\nHost: a\r\n\r\n" + close
            << u"^HTTP/1.1 200 OK\r\n[^\r]*\r\nContent-Length: \\d+\r\n(?:[^\r]+\r\n)*\r\n"_s +
                   ipClosing
            << QByteArray();
        QTest::addRow("half-closed after a check")
            << QByteArray("GET /port/%1?timeout=100 HTTP/1.1\r\nHost: a\r\n\r\n<FIN>")
            << u"^HTTP/1.1 200 OK\r\n.*\"reachable\": false, \"reason\": \"refused\".*$"_s
            << QByteArray();
        QTest::addRow("long path, logged cut")
            << "GET /" + QByteArray(300, 'x') + " HTTP/1.1\r\nHost: a\r\n\r\n" + close
            << u"^HTTP/1.1 404 Not Found\r\n.*"_s + ipClosing
            << "HTTP GET /" + QByteArray(199, 'x') + " ... (301 bytes) from %2: 404";
        QTest::addRow("control characters, logged escaped")
            << "GET /%0a03:00:00.000%20[1]%20DEBUG:%20forged%7f HTTP/1.1\r\nHost: a\r\n\r\n" + close
            << u"^HTTP/1.1 404 Not Found\r\n.*"_s + ipClosing
            << QByteArray("HTTP GET /\\n03:00:00.000 [1] DEBUG: forged\\x7f from %2: 404");
        QTest::addRow("POST") << "POST /ip HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n" + close
                              << u"^HTTP/1.1 405 .*\r\nAllow: GET, HEAD\r\n.*"_s + ipClosing
                              << QByteArray();
        QTest::addRow("head over 8 KiB")
            << get + "X-Pad: " + QByteArray(9000, 'a') + "\r\n\r\n" + close
            << u"^HTTP/1.1 431 [^\r]*\r\n.*\r\n\r\nrequest head longer than 8192 bytes\n$"_s
            << QByteArray("HTTP GET - from %2: 431");
        QTest::addRow("body") << get + "Content-Length: 5\r\n\r\nhello" + close
                              << u"^HTTP/1.1 413 .*\r\n\r\nrequests carry no body\n$"_s
                              << QByteArray();
        QTest::addRow("bare LF")
            << QByteArray("GET /ip HTTP/1.1\r\nHost: a\r\nX: b\n\nGET /ip HTTP/1.1\r\n\r\n")
            << u"^HTTP/1.1 400 .*\r\n\r\nbad header field\n$"_s << QByteArray();
        QTest::addRow("HTTP/2.0") << "GET /ip HTTP/2.0\r\n\r\n" + close
                                  << u"^HTTP/1.1 505 .*Connection: close\r\n\r\n[^\r]*$"_s
                                  << QByteArray();
        QTest::addRow("slow client") << get << u"^$"_s << QByteArray();
    }

    // One request at a time, answered in order, also after the client has half-closed; a head
    // over 8 KiB, a body, an unknown version or a malformed line ends the connection after its
    // answer; a client that leaves its request unfinished is closed
    // without one. Requests are logged once per client every 10 s, client text escaped.
    void requestLimits()
    {
        QFETCH(QByteArray, sent);
        QFETCH(QString, received);
        QFETCH(QByteArray, logged);
        const quint16 closed = freePort();
        // A client of its own per row: the log's throttle counts per client.
        const QString from = u"127.0.1.%1"_s.arg(++m_row);
        HttpClient client;
        QVERIFY(client.connectTo(m_http_port, QHostAddress(from)));
        const bool halfClose = sent.endsWith("<FIN>");
        client.send(withPort(halfClose ? sent.chopped(5) : sent, closed));
        if (halfClose)
            client.shutdownWrite();
        const QString all = QString::fromLatin1(client.readToClose(kIdlePatience));
        QVERIFY(client.isClosed());
        const QRegularExpression pattern(
            received.replace(u"%1"_s, QString::number(closed)).replace(u"%2"_s, from),
            QRegularExpression::DotMatchesEverythingOption);
        QVERIFY2(pattern.match(all).hasMatch(), qPrintable(all.left(2000)));
        if (!logged.isEmpty())
            QTRY_VERIFY_WITH_TIMEOUT(
                log().contains(withPort(logged, closed).replace("%2", from.toLatin1())), kPatience);
        QVERIFY(log().count(QByteArray(" from " + from.toLatin1() + ": ")) <= 1);
        QVERIFY(!log().contains("\n03:00:00.000"));
    }

    void pipelined_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("byteByByte");
        QTest::addColumn<bool>("halfClose");
        const QByteArray home = "GET / HTTP/1.1\r\nHost: a\r\n\r\n";
        const QByteArray ip = "GET /ip HTTP/1.1\r\nHost: a\r\n\r\n";
        QTest::newRow("40 pages, whole") << home << 40 << false << false;
        QTest::newRow("40 pages, byte by byte") << home << 40 << true << false;
        QTest::newRow("40 pages, half-closed") << home << 40 << false << true;
        QTest::newRow("2000 /ip, whole") << ip << 2000 << false << false;
        QTest::newRow("2000 /ip, half-closed") << ip << 2000 << false << true;
    }

    // Requests pipelined in one go whose answers are more than a client may leave unread: every
    // one is answered, in order, whether they come whole or byte by byte, and after the client
    // has half-closed.
    void pipelined()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, count);
        QFETCH(bool, byteByByte);
        QFETCH(bool, halfClose);
        HttpClient client;
        QVERIFY(client.connectTo(m_http_port, QHostAddress(u"127.0.0.5"_s)));
        const QByteArray all = request.repeated(count);
        for (qsizetype at = 0; at < all.size(); at += byteByByte ? 1 : all.size())
            client.send(all.mid(at, byteByByte ? 1 : -1));
        if (halfClose)
            client.shutdownWrite();
        for (int i = 0; i < count; ++i) {
            QByteArray body;
            const QByteArray head = client.takeAnswer(&body);
            QVERIFY2(head.startsWith("HTTP/1.1 200 "), qPrintable(u"answer %1"_s.arg(i)));
        }
        if (halfClose)
            QCOMPARE(client.readToClose(kPatience), QByteArray());
    }

    // One client pipelining /ip without pause while it reads slowly, in a network namespace of
    // its own whose send buffers are small, so that the answers wait in the process rather than
    // the kernel: the process's memory stays within a fixed bound while it is served megabytes.
    void slowPipelinerMemory()
    {
        if (::geteuid() != 0)
            QSKIP("a network namespace needs root");
        const int home = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        QVERIFY(home >= 0);
        QVERIFY(::unshare(CLONE_NEWNET) == 0);
        const auto back = qScopeGuard([home] {
            ::setns(home, CLONE_NEWNET);
            ::close(home);
        });
        QCOMPARE(run(u"/usr/sbin/ip"_s, {u"link"_s, u"set"_s, u"lo"_s, u"up"_s}).exitCode, 0);
        QFile wmem(u"/proc/sys/net/ipv4/tcp_wmem"_s);
        QVERIFY(wmem.open(QIODevice::WriteOnly) && wmem.write("4096 16384 16384") > 0);
        wmem.close();
        const quint16 port = freePort();
        QStringList settings{u"VX_HTTP_PORT="_s + QString::number(port)};
        // AddressSanitizer keeps freed memory in a quarantine of up to 256 MiB: without it, the
        // process's size shows what it holds.
        if (qEnvironmentVariableIsSet("ASAN_OPTIONS"))
            settings << u"ASAN_OPTIONS="_s + qEnvironmentVariable("ASAN_OPTIONS") +
                            u":quarantine_size_mb=0:thread_local_quarantine_size_kb=0"_s;
        Tester tester(settings);
        QVERIFY(tester.startServing());
        QTRY_VERIFY_WITH_TIMEOUT(get(port, u"127.0.0.1"_s, "/ip").status == 200, kPatience);

        const int fd = rawConnect(port, 16384);
        QVERIFY(fd >= 0);
        const auto closing = qScopeGuard([fd] { ::close(fd); });
        const QByteArray requests = QByteArray("GET /ip HTTP/1.1\r\nHost: a\r\n\r\n").repeated(100);
        constexpr qint64 kServed = 8 << 20;
        // About 2 MB/s: slower than the tester answers, never an empty output for long.
        constexpr qint64 kReadPer10Ms = 20000;
        qint64 read = 0;
        qint64 written = 0;
        qint64 before = -1;
        qint64 most = 0;
        QDeadlineTimer deadline(60000);
        char buffer[kReadPer10Ms];
        while (read < kServed && !deadline.hasExpired()) {
            pollfd ready{fd, POLLOUT, 0};
            if (::poll(&ready, 1, 0) > 0 && (ready.revents & POLLOUT)) {
                const qsizetype at = written % requests.size();
                const ssize_t sent =
                    ::send(fd, requests.constData() + at, requests.size() - at, MSG_NOSIGNAL);
                written += std::max<ssize_t>(sent, 0);
            }
            QTest::qSleep(10);
            const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
            QVERIFY2(got != 0, "the tester closed the connection");
            read += std::max<ssize_t>(got, 0);
            // Measured once the first megabyte is through: what the process needs anyway.
            if (before < 0 && read > (1 << 20))
                before = tester.status("VmRSS") * 1024;
            else if (before >= 0)
                most = std::max(most, tester.status("VmRSS") * 1024);
        }
        QVERIFY2(read >= kServed, qPrintable(u"%1 bytes read"_s.arg(read)));
        QVERIFY2(most - before < 3 << 20,
                 qPrintable(u"grew from %1 to %2 bytes"_s.arg(before).arg(most)));
    }

    // VX_MAX_CONNECTIONS_PER_ADDRESS (8 here) counts HTTP connections too: the ninth from one
    // address is closed unanswered, other addresses are served, and room comes back.
    void connectionsPerAddress()
    {
        std::vector<std::unique_ptr<HttpClient>> held;
        for (int i = 0; i < 8; ++i) {
            held.push_back(std::make_unique<HttpClient>());
            QVERIFY(held.back()->connectTo(m_http_port, QHostAddress(u"127.0.0.3"_s)));
            held.back()->send("GET /ip HTTP/1.1\r\nHost: a\r\n\r\n");
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

    // Port checks per caller are limited by default (30 a minute, as many at once): checks in
    // a row from one address get 429 with Retry-After and the wait in the JSON after the 30th;
    // another address is served.
    void checksPerAddress()
    {
        HttpClient client;
        QVERIFY(client.connectTo(m_http_port, QHostAddress(u"127.0.0.7"_s)));
        client.send(withPort("GET /port/%1?timeout=100 HTTP/1.1\r\nHost: a\r\n\r\n", freePort())
                        .repeated(45));
        QByteArray body;
        QList<int> statuses;
        for (int i = 0; i < 45; ++i) {
            const QByteArray head = client.takeAnswer(&body);
            statuses.append(head.mid(9, 3).toInt());
            if (statuses.back() != 429)
                continue;
            const int wait = field(head, "Retry-After").toInt();
            QVERIFY2(wait >= 1 && wait <= 2, head.constData());
            const QJsonObject json = QJsonDocument::fromJson(body).object();
            QCOMPARE(schemaViolation(json,
                                     documentedSchema(QStringLiteral(VX_JSON_DOC), u"web-error"_s)),
                     QString());
            QCOMPARE(json.value(u"retryAfterSeconds"_s).toInt(), wait);
        }
        // Loaded machines refill a few tokens on the way, never 15.
        QCOMPARE(statuses.first(30), QList<int>(30, 200));
        QVERIFY2(statuses.contains(429), qPrintable(u"%1"_s.arg(statuses.count(200))));
        QCOMPARE(get(m_http_port, u"127.0.0.8"_s, withPort("/port/%1", freePort())).status, 200);
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
        QVERIFY2(QRegularExpression(
                     u"<p id=\"result\" class=\"reachable\" role=\"status\">"
                     "<strong class=\"word\">reachable</strong> Port %1 on "
                     "127.0.0.1 is reachable: the tester connected in \\d+ ms.</p>"_s.arg(port))
                     .match(result)
                     .hasMatch(),
                 qPrintable(result));
        QVERIFY(wasReached(listener));
        // Not reachable: the word, and what to check next.
        const QString refused = QString::fromUtf8(render(base + u"/check?port=1"_s));
        QVERIFY2(refused.contains(u"class=\"refused\" role=\"status\"><strong class=\"word\">"
                                  "refused</strong>"_s),
                 qPrintable(refused));
        QVERIFY2(refused.contains(u"<ol id=\"advice\">"_s), qPrintable(refused)); // order: tst_net
        // Where the tester stands, and what a loopback address means.
        for (const QString &page : {home, refused})
            QVERIFY2(page.contains(u"(<span id=\"kind\">loopback</span>)"_s) &&
                         page.contains(u"<p id=\"warning\" role=\"alert\"><strong>Warning:"
                                       "</strong> the tester runs on this machine"_s) &&
                         page.contains(u"must run outside your network"_s),
                     qPrintable(page));
    }

    // Each reason a check gives, from a network of the test's own (a new network namespace with
    // a loopback, a route that answers "unreachable" and a veth pair whose far end takes nothing
    // that arrives): nothing leaves this machine, and its firewall stays as it is.
    void reasonsInOwnNetwork()
    {
        if (::geteuid() != 0 || !QFile::exists(u"/usr/bin/unshare"_s))
            QSKIP("a network namespace needs root and unshare");

        QTemporaryDir dir;
        const Run ran =
            run(u"/usr/bin/unshare"_s, {u"-n"_s, u"sh"_s, QStringLiteral(VX_OWN_NETWORK)},
                {u"TMPDIR="_s + dir.path()});
        if (ran.exitCode == 77)
            QSKIP("no veth pair in a network namespace here");
        const QRegularExpressionMatch reasons =
            QRegularExpression(
                u"^tcp 9 on 127.0.0.1 \\(tester to you\\): refused \\(\\d+ ms\\)\n"
                "warning: the tester runs on this machine[^\n]*\n"
                "tcp 9 on 192.0.2.1 \\(tester to you\\): unreachable \\(\\d+ ms\\)\n"
                "warning: [^\n]*\n"
                "tcp 9 on 198.51.100.2 \\(tester to you\\): timeout \\((\\d+) ms\\)\n"
                "warning: [^\n]*\n$"_s)
                .match(QString::fromLatin1(ran.out));
        QVERIFY2(reasons.hasMatch(), ran.out.constData());
        // The real time it waited, not a figure of its own.
        QVERIFY2(reasons.captured(1).toInt() >= 500, ran.out.constData());
    }

private:
    QByteArray log() const { return m_tester->log(); }

    std::unique_ptr<Tester> m_tester;
    quint16 m_http_port = 0;
    int m_row = 0;
    QProcess m_node;
    quint16 m_node_port = 0;
};

QTEST_GUILESS_MAIN(tst_Http)
#include "tst_http.moc"
