#include "server/porttesthandler.h"

#include "metrics/testermetrics.h"
#include "net/loggedtext.h"
#include "net/peeraddress.h"
#include "net/portreservation.h"
#include "net/ratelimiter.h"
#include "protocol/commandline.h"
#include "protocol/controlprotocol.h"
#include "protocol/testportrequest.h"
#include "server/porttesterthread.h"
#include "server/serverlogging.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>

#include <algorithm>
#include <utility>

using namespace Qt::StringLiterals;

namespace {
constexpr qsizetype kQueueLimit = 101;
} // namespace

PortTestHandler::PortTestHandler(QTcpSocket *socket, const ServerLimits &limits,
                                 PortReservation &reservation, RateLimiter *testRate,
                                 TesterMetrics &metrics, EventSink events, QObject *parent)
    : QObject(parent), m_reservation(reservation), m_events(std::move(events)), m_socket(socket),
      m_max_test_time(limits.maxTestTimeMs), m_test_rate(testRate), m_metrics(metrics),
      m_last_active_ms(QDeadlineTimer::current().deadline())
{
    Q_ASSERT_X(m_socket, "PortTestHandler", "m_socket != 0");
    m_peer_address = plainPeerAddress(*m_socket).toString();
    m_thread = std::make_unique<PortTesterThread>();
    m_socket->setReadBufferSize(ControlProtocol::MaxLineLength);
    m_socket->moveToThread(m_thread.get());

    connect(m_socket, &QTcpSocket::readyRead, this, &PortTestHandler::onReadCommand,
            Qt::QueuedConnection);
    connect(m_socket, &QTcpSocket::disconnected, this, &PortTestHandler::onDisconnected,
            Qt::QueuedConnection);

    m_idle_timer.setSingleShot(true);
    m_idle_timer.setInterval(std::chrono::seconds(limits.controlIdleTimeoutS));
    m_idle_timer.moveToThread(m_thread.get());
    connect(&m_idle_timer, &QTimer::timeout, this, &PortTestHandler::onIdleTimeout);

    moveToThread(m_thread.get());
    // The idle timer starts in the worker, once its loop runs.
    QMetaObject::invokeMethod(this, &PortTestHandler::noteActivity, Qt::QueuedConnection);
    m_thread->start(QThread::InheritPriority);
}

PortTestHandler::~PortTestHandler()
{
    qCDebug(lcServer, "PortTestHandler::~PortTestHandler()");
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
    stopWaiting();
    // Left only when the worker could not wind down itself (or never started); its loop is over,
    // so what was handed to deleteLater is freed here.
    clearQueue();
    if (m_current_test) {
        countEnded(*m_current_test);
        m_reservation.release(m_current_test->port());
    }
    m_current_test.reset();
    qDeleteAll(std::exchange(m_done_tests, {}));
}

void PortTestHandler::assertWorkerThread() const
{
    Q_ASSERT(QThread::currentThread() == m_thread.get());
}

bool PortTestHandler::isServing() const
{
    return m_thread->isRunning();
}

bool PortTestHandler::addPortTest(std::unique_ptr<PortTest> test)
{
    assertWorkerThread();
    if (!test || m_state == State::Closing)
        return false;
    test->moveToThread(thread());
    if (qsizetype(m_test_queue.size()) >= kQueueLimit) {
        qCDebug(lcServer, "PortTestHandler::addPortTest() - port-test queue full!");
        return false;
    }
    qCDebug(lcServer, "PortTestHandler::addPortTest() - port-test queued! (peer is %s)",
            qPrintable(test->peerAddress()));
    m_test_queue.push_back(std::move(test));
    m_metrics.testsQueued().inc();
    if (!m_current_test)
        scheduleSoon();
    return true;
}

void PortTestHandler::stopWaiting()
{
    m_reservation.stopWaiting(this);
}

void PortTestHandler::onReadCommand()
{
    assertWorkerThread();
    if (m_state != State::Serving)
        return;
    qCDebug(lcServer, "PortTestHandler::onReadCommand() - sock_id = %d",
            static_cast<int>(m_socket->socketDescriptor()));
    m_reading = true;
    m_last_active_ms = QDeadlineTimer::current().deadline();
    bool held = false;
    while (m_framer.hasLine(*m_socket)) {
        if ((held = holdReading()))
            break;
        for (const QString &part : m_framer.takeLine())
            handleLine(part);
        if (m_socket->state() == QAbstractSocket::UnconnectedState) {
            m_reading = false;
            if (m_events)
                m_events(u"Connection closed"_s);
            return;
        }
    }
    m_reading = false;
    noteActivity();
    m_framer.dropTaken();
    // The replies of one read leave together, now rather than on the next loop iteration.
    m_socket->flush();
    if (!held && m_framer.isOverlong()) {
        qCDebug(lcServer,
                "PortTestHandler::onReadCommand() - line longer than %lld bytes, disconnecting "
                "(sock_id = %d)",
                static_cast<long long>(ControlProtocol::MaxLineLength),
                static_cast<int>(m_socket->socketDescriptor()));
        m_socket->abort();
    }
}

// Stops reading while the client leaves too many replies unread. The socket's read buffer is
// capped and no longer emptied, so the client's further lines wait in the kernel and TCP flow
// control holds the client back.
bool PortTestHandler::holdReading()
{
    if (m_socket->bytesToWrite() <= kMaxUnsent)
        return false;
    m_state = State::ReadingHeld;
    qCDebug(lcServer,
            "PortTestHandler::onReadCommand() - %lld bytes unsent, reading held (sock_id = %d)",
            static_cast<long long>(m_socket->bytesToWrite()),
            static_cast<int>(m_socket->socketDescriptor()));
    connect(m_socket, &QTcpSocket::bytesWritten, this, &PortTestHandler::onBytesWritten,
            Qt::QueuedConnection);
    return true;
}

void PortTestHandler::onBytesWritten()
{
    if (m_state != State::ReadingHeld || m_socket->bytesToWrite() > kMaxUnsent / 2)
        return;
    disconnect(m_socket, &QTcpSocket::bytesWritten, this, &PortTestHandler::onBytesWritten);
    m_state = State::Serving;
    qCDebug(lcServer,
            "PortTestHandler::onReadCommand() - replies drained, reading resumed (sock_id = %d)",
            static_cast<int>(m_socket->socketDescriptor()));
    onReadCommand();
}

void PortTestHandler::onDisconnected()
{
    qCDebug(lcServer, "PortTestHandler::onDisconnected()");
    dropTests();
}

void PortTestHandler::onSendToPeer(QString mes)
{
    assertWorkerThread();
    if (!m_socket || !m_socket->isWritable())
        return;
    m_socket->write(ControlProtocol::wireLine(mes));
    // A test's line goes out at once: the client acts on it. Replies to a read are sent together
    // at its end.
    if (!m_reading)
        m_socket->flush();
}

void PortTestHandler::onTestDone(bool success)
{
    assertWorkerThread();
    const auto *test = qobject_cast<PortTest *>(sender());
    if (!test)
        return;
    if (test->isTimedOut())
        qCDebug(lcServer, "test on port=%d timed out. (success=%d)", int(test->port()),
                success ? 1 : 0);
    else
        qCDebug(lcServer, "test on port=%d done. (success=%d)", int(test->port()), success ? 1 : 0);
    // Posted, not run here: the ended test's own lines still queued behind this slot (its
    // timeout line) reach the wire before the next test's go line.
    scheduleSoon();
}

void PortTestHandler::onScheduleTest()
{
    if (m_state == State::Closing)
        return;
    retireCurrentTest();
    if (!m_current_test)
        startNextTest();
    noteActivity();
}

// Any thread: a release of the port reservation calls it for the handlers waiting for a port.
void PortTestHandler::scheduleSoon()
{
    if (m_pass_posted.exchange(true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_pass_posted = false;
            onScheduleTest();
        },
        Qt::QueuedConnection);
}

void PortTestHandler::handleLine(const QString &line)
{
    qCDebug(lcServer, "--> %s", loggedText(line).constData());
    const CommandLine parsed = CommandLine::parse(line);
    if (!handleCommand(parsed.command, parsed.arguments))
        qCDebug(lcServer, "PortTestHandler::onReadCommand() - got an unknown command!\n--> %s %s",
                loggedText(parsed.command).constData(), loggedText(parsed.arguments).constData());
}

bool PortTestHandler::handleCommand(const QString &command, const QString &arguments)
{
    using namespace ControlProtocol;
    if (command == GetPublicIpWord) {
        onSendToPeer(publicIpLine(m_peer_address));
        return true;
    }
    if (command == TestPortWord && !arguments.isEmpty())
        return handleTestPort(arguments);
    if (command == PortTestingWord) {
        if (m_current_test)
            m_current_test->onControlMessage(PortTestingWord + u' ' + arguments);
        return true;
    }
    return false;
}

bool PortTestHandler::handleTestPort(const QString &arguments)
{
    const std::optional<TestPortRequest> request = TestPortRequest::parse(arguments);
    if (!request)
        return false;
    if (m_test_rate) {
        if (const std::optional<int> wait = m_test_rate->take(plainPeerAddress(*m_socket))) {
            qCDebug(lcServer,
                    "PortTestHandler::addPortTest() - rate limited, %d s to wait (peer is %s)",
                    *wait, qPrintable(m_peer_address));
            m_metrics.rateLimitedTotal(TesterMetrics::Door::Control).inc();
            onSendToPeer(ControlProtocol::rateLimitedLine(*wait));
            return true;
        }
    }

    auto test = std::make_unique<PortTest>(request->port, request->protocol, request->direction,
                                           std::min(request->timeout, m_max_test_time), QString());
    test->setPeerAddress(m_peer_address);
    // A refused test was never started and is gone; the client is not told.
    addPortTest(std::move(test));
    return true;
}

void PortTestHandler::retireCurrentTest()
{
    if (!m_current_test || !(m_current_test->isFinished() || m_current_test->isTimedOut()))
        return;
    const int port = m_current_test->port();
    countEnded(*m_current_test);
    releaseEndedTest(m_current_test.release());
    m_reservation.release(port);
}

void PortTestHandler::startNextTest()
{
    if (m_scheduling_stopped)
        return;
    // The waits of the last pass are void: this pass registers the ones still wanted.
    stopWaiting();
    for (auto it = m_test_queue.begin(); it != m_test_queue.end(); ++it) {
        // A port held by another connection's test is passed over; that test keeps its place,
        // and the release of the port posts the next pass.
        if (!m_reservation.reserveOrWait((*it)->port(), this, [this] { scheduleSoon(); }))
            continue;
        std::unique_ptr<PortTest> test = std::move(*it);
        m_test_queue.erase(it);
        m_metrics.testsQueued().dec();
        startTest(std::move(test));
        return;
    }
}

void PortTestHandler::startTest(std::unique_ptr<PortTest> owned)
{
    m_current_test = std::move(owned);
    m_metrics.testsRunning().inc();
    m_test_started = std::chrono::steady_clock::now();
    PortTest *test = m_current_test.get();
    qCDebug(lcServer, "PortTestHandler::scheduleTest() - scheduling test on port %d",
            int(test->port()));
    connect(test, &PortTest::testDone, this, &PortTestHandler::onTestDone, Qt::QueuedConnection);
    connect(test, &PortTest::sendToPeer, this, &PortTestHandler::onSendToPeer,
            Qt::QueuedConnection);
    if (!test->handleTest(true))
        qCDebug(lcServer, "ServerSide - handleTest() - failed!");
}

void PortTestHandler::dropTests()
{
    stopWaiting();
    // Queued tests never started, so nothing of theirs can be on the stack: delete them now.
    clearQueue();
    if (m_current_test) {
        // Aborted (its sockets closed) before the port is released: a test of another
        // connection waiting for the port starts at once and must find it free.
        const int port = m_current_test->port();
        // Counted first: one that ended before its pass came keeps its result.
        countEnded(*m_current_test);
        m_current_test->onAbortTest();
        m_reservation.release(port);
        releaseEndedTest(m_current_test.release());
    }
}

void PortTestHandler::clearQueue()
{
    m_metrics.testsQueued().dec(qint64(m_test_queue.size()));
    m_test_queue.clear();
}

void PortTestHandler::countEnded(const PortTest &test)
{
    using ControlProtocol::Result;
    Result result = Result::Failure; // not ended yet: cut short with its connection
    if (test.state() == PortTest::State::Succeeded)
        result = Result::Success;
    else if (test.state() == PortTest::State::TimedOut)
        result = Result::Timeout;
    m_metrics.testsRunning().dec();
    m_metrics.testsTotal(test.protocol(), test.direction(), result).inc();
    m_metrics.testDurationSeconds(test.protocol(), test.direction())
        .observe(std::chrono::duration<double>(std::chrono::steady_clock::now() - m_test_started)
                     .count());
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

// Worker thread: after anything that may change whether the connection is idle.
void PortTestHandler::noteActivity()
{
    const bool busy = m_current_test || !m_test_queue.empty();
    if (busy != m_busy.load(std::memory_order_relaxed) || !busy)
        m_last_active_ms = QDeadlineTimer::current().deadline();
    m_busy = busy;
    if (busy || m_state == State::Closing || m_idle_timer.interval() == 0)
        m_idle_timer.stop();
    else
        m_idle_timer.start();
}

void PortTestHandler::onIdleTimeout()
{
    if (m_state == State::Closing || !isIdle())
        return;
    qCDebug(lcServer,
            "PortTestHandler: idle for %d s, closing the connection (peer is %s, sock_id = %d)",
            int(m_idle_timer.interval() / 1000), qPrintable(m_peer_address),
            static_cast<int>(m_socket->socketDescriptor()));
    m_socket->abort();
}

void PortTestHandler::shutDown()
{
    m_idle_timer.stop();
    m_socket->disconnect(this);
    dropTests();
    m_state = State::Closing;
    quitWhenReleased();
}

void PortTestHandler::quitWhenReleased()
{
    if (m_state == State::Closing && m_done_tests.isEmpty())
        m_thread->quit();
}
