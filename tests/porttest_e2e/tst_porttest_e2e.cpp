#include "porttest/porttest.h"

#include <QHostAddress>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

using namespace Qt::StringLiterals;

namespace {

constexpr int patience = 15000;

quint16 freeTcpPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::AnyIPv4, 0);
    return probe.serverPort();
}

quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::AnyIPv4, 0);
    return probe.localPort();
}

bool accepts(quint16 port)
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    return probe.waitForConnected(500);
}

// A requesting-side test driven over a real control connection, as a client tool would: its
// lines go out with CR LF, the service's "porttesting" lines come back to it.
class ControlClient : public QObject
{
public:
    ControlClient(QTcpSocket &socket, PortTest &test) : m_socket(socket), m_test(test)
    {
        connect(&test, &PortTest::sendToPeer, this, &ControlClient::send);
        connect(&socket, &QTcpSocket::readyRead, this, &ControlClient::receive);
    }

    QByteArray received;
    QStringList lines;

private:
    void send(const QString &mes)
    {
        m_socket.write((mes.endsWith(u"\r\n"_s) ? mes : mes + u"\r\n"_s).toLatin1());
    }

    void receive()
    {
        while (m_socket.canReadLine()) {
            const QByteArray raw = m_socket.readLine();
            received += raw;
            const QString line = QString::fromLatin1(raw).trimmed();
            lines << line;
            if (line.startsWith(u"porttesting"_s, Qt::CaseInsensitive))
                m_test.onControlMessage(u"porttesting "_s + line.mid(11).trimmed());
        }
    }

    QTcpSocket &m_socket;
    PortTest &m_test;
};

} // namespace

class TstPortTestE2e : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void kinds_data();
    void kinds();

private:
    QProcess m_tester;
    quint16 m_control_port = 0;
};

void TstPortTestE2e::initTestCase()
{
    const QString program = qEnvironmentVariable("VX_TESTER");
    if (program.isEmpty())
        QSKIP("VX_TESTER is not set (run under ctest)");
    m_control_port = freeTcpPort();
    m_tester.setProcessChannelMode(QProcess::ForwardedChannels);
    m_tester.start(program, {u"-e"_s, QString::number(m_control_port)});
    QVERIFY2(m_tester.waitForStarted(patience), qPrintable(m_tester.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(accepts(m_control_port) || m_tester.state() != QProcess::Running,
                             patience);
    QCOMPARE(m_tester.state(), QProcess::Running);
}

void TstPortTestE2e::cleanupTestCase()
{
    if (m_tester.state() == QProcess::NotRunning)
        return;
    m_tester.terminate();
    if (!m_tester.waitForFinished(patience))
        m_tester.kill();
    m_tester.waitForFinished(patience);
}

void TstPortTestE2e::kinds_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<int>("direction");
    QTest::addColumn<QString>("goLine"); // what the service answers the request with
    QTest::addRow("tcp in") << int(PortTest::Tcp) << int(PortTest::In)
                            << u"porttesting out tcp %1"_s;
    QTest::addRow("tcp out") << int(PortTest::Tcp) << int(PortTest::Out)
                             << u"porttesting in tcp %1"_s;
    QTest::addRow("udp in") << int(PortTest::Udp) << int(PortTest::In)
                            << u"porttesting out udp %1"_s;
    QTest::addRow("udp out") << int(PortTest::Udp) << int(PortTest::Out)
                             << u"porttesting in udp %1"_s;
}

void TstPortTestE2e::kinds()
{
    QFETCH(int, protocol);
    QFETCH(int, direction);
    QFETCH(QString, goLine);
    QTcpSocket control;
    control.connectToHost(QHostAddress::LocalHost, m_control_port);
    QVERIFY(control.waitForConnected(patience));

    const quint16 port = protocol == PortTest::Tcp ? freeTcpPort() : freeUdpPort();
    PortTest test(port, protocol, direction, 5000, QString());
    ControlClient client(control, test);
    QSignalSpy done(&test, &PortTest::testDone);
    QVERIFY(test.handleTest(false));
    QVERIFY(done.wait(patience));
    QCOMPARE(done.size(), 1);
    QCOMPARE(done.first().first().toBool(), true);
    QVERIFY(test.isFinished() && test.isSuccess() && !test.isTimedOut());

    // A test that succeeds on its own connection may end before the go line has been read.
    QTRY_VERIFY_WITH_TIMEOUT(!client.lines.isEmpty(), patience);
    QCOMPARE(client.lines.first(), goLine.arg(port));
    // Every line arrives with exactly one CR LF.
    QVERIFY(client.received.endsWith("\r\n"));
    QCOMPARE(client.received.count("\r\n"), client.received.count('\n'));
    QVERIFY(!client.received.contains("\r\n\r\n"));
}

QTEST_GUILESS_MAIN(TstPortTestE2e)
#include "tst_porttest_e2e.moc"
