#include "porttest/porttest.h"
#include "tests/common/testhelpers.h"

#include <QSignalSpy>

using namespace Qt::StringLiterals;
using namespace vxtest;

namespace {

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

    QStringList sent;
    QByteArray received;
    QStringList lines;

private:
    void send(const QString &mes)
    {
        sent << mes;
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
    void kinds_data();
    void kinds();

private:
    TesterProcess m_tester;
};

void TstPortTestE2e::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("VX_TESTER"))
        QSKIP("VX_TESTER is not set (run under ctest)");
    QVERIFY(m_tester.start());
}

void TstPortTestE2e::kinds_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<int>("direction");
    QTest::addColumn<QStringList>("clientLines");  // as emitted, exactly; %1 is the port
    QTest::addColumn<QStringList>("serviceLines"); // from the service, at least these
    QTest::addColumn<QString>("serviceSuccess");   // may follow when the service saw it first
    QTest::addRow("tcp in") << int(PortTest::Tcp) << int(PortTest::In)
                            << QStringList{u"testport out tcp %1 5000"_s,
                                           u"porttesting in tcp %1 success\r\n"_s}
                            << QStringList{u"porttesting out tcp %1"_s}
                            << u"porttesting out tcp %1 success"_s;
    QTest::addRow("tcp out") << int(PortTest::Tcp) << int(PortTest::Out)
                             << QStringList{u"testport in tcp %1 5000"_s,
                                            u"porttesting out tcp %1 success\r\n"_s}
                             << QStringList{u"porttesting in tcp %1"_s}
                             << u"porttesting in tcp %1 success"_s;
    QTest::addRow("udp in") << int(PortTest::Udp) << int(PortTest::In)
                            << QStringList{u"testport out udp %1 5000"_s,
                                           u"porttesting in udp %1 success\r\n"_s}
                            << QStringList{u"porttesting out udp %1"_s} << QString();
    QTest::addRow("udp out") << int(PortTest::Udp) << int(PortTest::Out)
                             << QStringList{u"testport in udp %1 5000"_s}
                             << QStringList{u"porttesting in udp %1"_s,
                                            u"porttesting in udp %1 success"_s}
                             << QString();
}

void TstPortTestE2e::kinds()
{
    QFETCH(int, protocol);
    QFETCH(int, direction);
    QFETCH(QStringList, clientLines);
    QFETCH(QStringList, serviceLines);
    QFETCH(QString, serviceSuccess);
    QTcpSocket control;
    control.connectToHost(QHostAddress::LocalHost, m_tester.port());
    QVERIFY(control.waitForConnected(kPatience));

    const quint16 port = freePort(protocol == PortTest::Udp);
    PortTest test(port, protocol, direction, 5000, QString());
    ControlClient client(control, test);
    QSignalSpy done(&test, &PortTest::testDone);
    QVERIFY(test.handleTest(false));
    QVERIFY(done.wait(kPatience));
    QVERIFY(test.isFinished() && test.isSuccess() && !test.isTimedOut());

    // A test that succeeds on its own connection may end before the go line has been read.
    QTRY_VERIFY_WITH_TIMEOUT(client.lines.size() >= serviceLines.size(), kPatience);
    for (QString &line : clientLines)
        line = line.arg(port);
    for (QString &line : serviceLines)
        line = line.arg(port);
    QCOMPARE(client.sent, clientLines);
    if (client.lines.size() > serviceLines.size() && !serviceSuccess.isEmpty())
        serviceLines << serviceSuccess.arg(port);
    QCOMPARE(client.lines, serviceLines);
    QCOMPARE(done.size(), 1);
    QCOMPARE(done.first().first().toBool(), true);
    // Every line arrives with exactly one CR LF.
    QVERIFY(client.received.endsWith("\r\n"));
    QCOMPARE(client.received.count("\r\n"), client.received.count('\n'));
    QVERIFY(!client.received.contains("\r\n\r\n"));
}

QTEST_GUILESS_MAIN(TstPortTestE2e)
#include "tst_porttest_e2e.moc"
