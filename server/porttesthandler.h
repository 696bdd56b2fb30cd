#pragma once

#include "log/eventsink.h"
#include "net/serverlimits.h"
#include "porttest/porttest.h"
#include "protocol/lineframer.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

class PortReservation;
class PortTesterThread;
class RateLimiter;
class QTcpSocket;
class TesterMetrics;

// Serves one control connection: reads its command lines, answers them, and queues and runs its
// port tests one at a time.
//
// Threading: constructed and destroyed in the server's thread; everything else (slots, socket,
// scheduling timer, tests) lives in the handler's own worker thread, so its fields need no lock.
// Only the port reservation is shared between handlers; it locks itself.
class PortTestHandler : public QObject
{
    Q_OBJECT

public:
    // Replies a client may leave unread before its further lines wait: a client that sends
    // without reading is held back by TCP flow control instead of growing the write buffer.
    static constexpr qint64 kMaxUnsent = 1024 * 1024;

    // limits: longer time limits asked for are cut to maxTestTimeMs; an idle connection is
    // closed after controlIdleTimeoutS. `reservation`, `testRate` (null: no limit) and `metrics`
    // must outlive the handler; `events` gets the connection's closing.
    PortTestHandler(QTcpSocket *socket, const ServerLimits &limits, PortReservation &reservation,
                    RateLimiter *testRate, TesterMetrics &metrics, EventSink events,
                    QObject *parent = nullptr);
    ~PortTestHandler() override;

    // False when the worker thread could not be started; the connection cannot be served.
    bool isServing() const;
    // The peer's address as text; fixed at construction, so any thread may read it.
    QString peerAddress() const { return m_peer_address; }

    // Any thread: whether no test runs or waits, and when the client last sent a line or a test
    // of it ended (milliseconds of the monotonic clock). The server closes the idlest
    // connections first when descriptors run short.
    bool isIdle() const { return !m_busy.load(std::memory_order_relaxed); }
    qint64 lastActiveMs() const { return m_last_active_ms.load(std::memory_order_relaxed); }

    // Any thread: no queued test starts from now on; the server is closing every connection,
    // and a port freed by one of them must not start another's test on the way out.
    void stopScheduling() { m_scheduling_stopped = true; }

    // Queues the test (worker thread); false, and the test gone, when the queue is full or the
    // connection closing.
    bool addPortTest(std::unique_ptr<PortTest> test);

public Q_SLOTS:
    void onReadCommand();
    void onDisconnected();
    void onSendToPeer(QString mes);

protected Q_SLOTS:
    void onTestDone(bool success);
    void onScheduleTest();

private:
    void onBytesWritten();
    bool handleCommand(const QString &command, const QString &arguments);
    bool handleTestPort(const QString &arguments);
    void handleLine(const QString &line);
    bool holdReading();
    void scheduleSoon();
    void stopWaiting();
    void retireCurrentTest();
    void startNextTest();
    void startTest(std::unique_ptr<PortTest> test);
    void dropTests();
    void clearQueue();
    // Counts the current test as ended, however it went.
    void countEnded(const PortTest &test);
    void releaseEndedTest(PortTest *test);
    void onTestReleased(QObject *test);
    void shutDown();
    void quitWhenReleased();
    void noteActivity();
    void onIdleTimeout();
    void assertWorkerThread() const;

    // Serving: lines are read and answered. ReadingHeld: too many replies are unsent, reading
    // waits for them to drain. Closing: the connection is going; nothing new starts.
    enum class State { Serving, ReadingHeld, Closing };

    std::unique_ptr<PortTesterThread> m_thread;
    State m_state = State::Serving;
    PortReservation &m_reservation;
    EventSink m_events;
    // No scheduling timer: every pass is posted by an event (a test queued or ended, or a port
    // this connection waits for released), so no connection costs any polling.
    std::vector<std::unique_ptr<PortTest>> m_test_queue;
    std::unique_ptr<PortTest> m_current_test;
    // Ended tests handed to deleteLater (their owner now); kept by identity only, so the worker
    // can wait for them before its loop ends.
    QList<QObject *> m_done_tests;
    QTcpSocket *m_socket = nullptr;
    // Lines longer than ControlProtocol::MaxLineLength end the connection.
    LineFramer m_framer;
    // The peer's address as text, taken once: it is in every reply and every test.
    QString m_peer_address;
    int m_max_test_time = 0;
    RateLimiter *m_test_rate = nullptr;
    TesterMetrics &m_metrics;
    std::chrono::steady_clock::time_point m_test_started;
    // Single-shot, worker thread: runs while the connection is idle, closes it when it fires.
    QTimer m_idle_timer;
    std::atomic<bool> m_busy = false;
    std::atomic<qint64> m_last_active_ms = 0;
    // Set while a scheduling pass is posted; other threads set it through scheduleSoon().
    std::atomic<bool> m_pass_posted = false;
    std::atomic<bool> m_scheduling_stopped = false;
    // Set while onReadCommand() works through the buffered lines: replies then go out together.
    bool m_reading = false;
};
