#pragma once

#include "log/eventsink.h"
#include "porttest/porttest.h"
#include "protocol/lineframer.h"

#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>
#include <vector>

class PortReservation;
class PortTesterThread;
class QTcpSocket;

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

    // maxTestTimeMs: longer time limits asked for are cut to it. `reservation` must outlive the
    // handler; `events` gets the connection's closing.
    PortTestHandler(QTcpSocket *socket, int maxTestTimeMs, PortReservation &reservation,
                    EventSink events, QObject *parent = nullptr);
    ~PortTestHandler() override;

    // False when the worker thread could not be started; the connection cannot be served.
    bool isServing() const;
    // The peer's address as text; fixed at construction, so any thread may read it.
    QString peerAddress() const { return m_peer_address; }

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
    void releaseEndedTest(PortTest *test);
    void onTestReleased(QObject *test);
    void shutDown();
    void quitWhenReleased();
    void assertWorkerThread() const;

    std::unique_ptr<PortTesterThread> m_thread;
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
    bool m_closing = false;
    // Set while a scheduling pass is posted; other threads set it through scheduleSoon().
    std::atomic<bool> m_pass_posted = false;
    std::atomic<bool> m_scheduling_stopped = false;
    // Set while onReadCommand() works through the buffered lines: replies then go out together.
    bool m_reading = false;
    // Set while too many replies are unsent; reading waits for them to drain.
    bool m_reading_held = false;
};
