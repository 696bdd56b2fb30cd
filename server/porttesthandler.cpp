#include "porttesthandler.h"

#include "porttest/porttest.h"
#include "server/commandline.h"
#include "server/porttesterthread.h"
#include "server/testportrequest.h"
#include "service/qtservice.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QMutexLocker>
#include <QStringList>
#include <QTcpSocket>

#include <utility>

using namespace Qt::StringLiterals;

QSet<int> PortTestHandler::s_reserved_ports;
QMutex PortTestHandler::s_ports_mutex;

namespace {
constexpr int kScheduleInterval = 10;
constexpr qsizetype kQueueLimit = 101;

void logEvent(const QString &message)
{
    if (QtServiceBase *service = QtServiceBase::instance())
        service->logMessage(message, QtServiceBase::Success);
}

} // namespace

PortTestHandler::PortTestHandler(QTcpSocket *socket, QObject *parent)
    : QObject(parent), m_socket(socket)
{
    Q_ASSERT_X(m_socket, "PortTestHandler", "m_socket != 0");
    m_thread = std::make_unique<PortTesterThread>();
    m_socket->setReadBufferSize(kMaxLineLength);
    m_schedule_timer.setInterval(kScheduleInterval);
    m_socket->moveToThread(m_thread.get());
    m_schedule_timer.moveToThread(m_thread.get());

    connect(m_socket, &QTcpSocket::readyRead, this, &PortTestHandler::onReadCommand,
            Qt::QueuedConnection);
    connect(m_socket, &QTcpSocket::disconnected, this, &PortTestHandler::onDisconnected,
            Qt::QueuedConnection);
    connect(&m_schedule_timer, &QTimer::timeout, this, &PortTestHandler::onScheduleTest,
            Qt::QueuedConnection);

    moveToThread(m_thread.get());
    m_thread->start(QThread::InheritPriority);
}

PortTestHandler::~PortTestHandler()
{
    qDebug("PortTestHandler::~PortTestHandler()");
    if (m_thread->isRunning() && QCoreApplication::instance()) {
        // The tests, their sockets and timers belong to the worker: let it drop them and end
        // its own loop once they are gone, so nothing of this connection outlives the thread.
        QMetaObject::invokeMethod(
            this, [this] { shutDown(); }, Qt::QueuedConnection);
        m_thread->wait();
    } else if (m_thread->isRunning()) {
        // Without an application object the worker's loop delivers no events: stop it and
        // free what is left from here (parts that tests handed to deleteLater are lost).
        m_thread->quit();
        m_thread->wait();
    }
    // Left only when the worker could not wind down itself (or never started).
    qDeleteAll(std::exchange(m_test_queue, {}));
    delete std::exchange(m_current_test, nullptr);
    qDeleteAll(std::exchange(m_done_tests, {}));
}

bool PortTestHandler::isServing() const
{
    return m_thread->isRunning();
}

bool PortTestHandler::addPortTest(PortTest *test)
{
    if (!test || m_closing)
        return false;
    test->moveToThread(thread());
    if (m_test_queue.size() >= kQueueLimit) {
        qDebug("PortTestHandler::addPortTest() - port-test queue full!");
        return false;
    }
    if (m_test_queue.contains(test)) {
        qDebug("PortTestHandler::addPortTest() - Given port-test already in queue!");
        return false;
    }
    m_test_queue.append(test);
    qDebug("PortTestHandler::addPortTest() - port-test queued! (peer is %s)",
           qPrintable(test->peerAddress()));
    if (!m_schedule_timer.isActive())
        m_schedule_timer.start();
    return true;
}

bool PortTestHandler::reservePort(int port)
{
    QMutexLocker locker(&s_ports_mutex);
    if (s_reserved_ports.contains(port))
        return false;
    s_reserved_ports.insert(port);
    return true;
}

void PortTestHandler::releasePort(int port)
{
    QMutexLocker locker(&s_ports_mutex);
    s_reserved_ports.remove(port);
}

bool PortTestHandler::isPortInUse(int port)
{
    QMutexLocker locker(&s_ports_mutex);
    return s_reserved_ports.contains(port);
}

void PortTestHandler::onReadCommand()
{
    if (m_closing)
        return;
    qDebug("PortTestHandler::onReadCommand() - sock_id = %d",
           static_cast<int>(m_socket->socketDescriptor()));
    while (m_socket->canReadLine()) {
        const QString line = QString::fromLatin1(m_socket->readLine());
        const QStringList parts = line.split(u"\r\n"_s, Qt::SkipEmptyParts, Qt::CaseSensitive);
        for (const QString &part : parts)
            handleLine(part);
        if (m_socket->state() == QAbstractSocket::UnconnectedState) {
            logEvent(u"Connection closed"_s);
            return;
        }
    }
    // The read buffer holds at most one maximal line: full without a line feed means the line
    // is too long.
    if (m_socket->bytesAvailable() >= kMaxLineLength) {
        qDebug("PortTestHandler::onReadCommand() - line longer than %lld bytes, disconnecting "
               "(sock_id = %d)",
               static_cast<long long>(kMaxLineLength),
               static_cast<int>(m_socket->socketDescriptor()));
        m_socket->abort();
    }
}

void PortTestHandler::onDisconnected()
{
    qDebug("PortTestHandler::onDisconnected()");
    dropTests();
}

void PortTestHandler::onSendToPeer(QString mes)
{
    if (!m_socket || !m_socket->isWritable())
        return;
    if (!mes.endsWith(u"\r\n"_s))
        mes.append(u"\r\n"_s);
    m_socket->write(mes.toLocal8Bit());
}

void PortTestHandler::onTestDone(bool success)
{
    const auto *test = qobject_cast<PortTest *>(sender());
    if (!test)
        return;
    if (test->isTimedOut())
        qDebug("test on port=%d timed out. (success=%d)", int(test->port()), success ? 1 : 0);
    else
        qDebug("test on port=%d done. (success=%d)", int(test->port()), success ? 1 : 0);
}

void PortTestHandler::onScheduleTest()
{
    if (m_closing)
        return;
    retireCurrentTest();
    if (!m_current_test)
        startNextTest();
    if (!m_current_test && m_test_queue.isEmpty())
        m_schedule_timer.stop();
}

void PortTestHandler::handleLine(const QString &line)
{
    qDebug("--> %s", qPrintable(line));
    const CommandLine parsed = CommandLine::parse(line);
    if (!handleCommand(parsed.command, parsed.arguments))
        qDebug("PortTestHandler::onReadCommand() - got an unknown command!\n--> %s %s",
               qPrintable(parsed.command), qPrintable(parsed.arguments));
}

bool PortTestHandler::handleCommand(const QString &command, const QString &arguments)
{
    if (command == u"getpublicip"_s) {
        onSendToPeer(u"Public IP %1"_s.arg(m_socket->peerAddress().toString()));
        return true;
    }
    if (command == u"testport"_s && !arguments.isEmpty())
        return handleTestPort(arguments);
    if (command == u"porttesting"_s) {
        if (m_current_test)
            m_current_test->onControlMessage(u"porttesting "_s + arguments);
        return true;
    }
    return false;
}

bool PortTestHandler::handleTestPort(const QString &arguments)
{
    const std::optional<TestPortRequest> request = TestPortRequest::parse(arguments);
    if (!request)
        return false;

    auto test = std::make_unique<PortTest>(request->port, request->protocol, request->direction,
                                           request->timeout, QString());
    test->setPeerAddress(m_socket->peerAddress().toString());
    // A refused test was never started and is released here; the client is not told.
    if (addPortTest(test.get()))
        test.release();
    return true;
}

void PortTestHandler::retireCurrentTest()
{
    if (!m_current_test || !(m_current_test->isFinished() || m_current_test->isTimedOut()))
        return;
    const int port = m_current_test->port();
    releaseEndedTest(std::exchange(m_current_test, nullptr));
    releasePort(port);
}

void PortTestHandler::startNextTest()
{
    for (auto it = m_test_queue.begin(); it != m_test_queue.end(); ++it) {
        const int port = (*it)->port();
        // A port held by another connection's test is passed over; that test keeps its place.
        if (isPortInUse(port) || !reservePort(port))
            continue;
        PortTest *test = *it;
        m_test_queue.erase(it);
        startTest(test);
        return;
    }
}

void PortTestHandler::startTest(PortTest *test)
{
    m_current_test = test;
    qDebug("PortTestHandler::scheduleTest() - scheduling test on port %d", int(test->port()));
    connect(test, &PortTest::testDone, this, &PortTestHandler::onTestDone, Qt::QueuedConnection);
    connect(test, &PortTest::sendToPeer, this, &PortTestHandler::onSendToPeer,
            Qt::QueuedConnection);
    if (!test->handleTest(true))
        qDebug("ServerSide - handleTest() - failed!");
}

void PortTestHandler::dropTests()
{
    m_schedule_timer.stop();
    // Queued tests never started, so nothing of theirs can be on the stack: delete them now.
    while (!m_test_queue.isEmpty())
        delete m_test_queue.takeFirst();
    if (m_current_test) {
        releasePort(m_current_test->port());
        m_current_test->onAbortTest();
        releaseEndedTest(std::exchange(m_current_test, nullptr));
    }
}

void PortTestHandler::releaseEndedTest(PortTest *test)
{
    // A started test may be inside one of its own slots further up the stack, and its queued
    // signals may still be on their way: only a deferred deletion is safe.
    m_done_tests.append(test);
    connect(test, &QObject::destroyed, this, &PortTestHandler::onTestReleased,
            Qt::DirectConnection);
    test->deleteLater();
}

void PortTestHandler::onTestReleased(QObject *test)
{
    m_done_tests.removeOne(test);
    quitWhenReleased();
}

void PortTestHandler::shutDown()
{
    m_socket->disconnect(this);
    dropTests();
    m_closing = true;
    quitWhenReleased();
}

void PortTestHandler::quitWhenReleased()
{
    if (m_closing && m_done_tests.isEmpty())
        m_thread->quit();
}
