#pragma once

#include <QList>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <memory>

class PortTest;
class PortTesterThread;
class QTcpSocket;

// Serves one control connection: reads its command lines, answers them, and queues and runs its
// port tests one at a time.
//
// Threading: constructed and destroyed in the server's thread; everything else (slots, socket,
// scheduling timer, tests) lives in the handler's own worker thread, so its fields need no lock.
// Only the reserved-port set is shared between handlers; s_ports_mutex guards every access.
class PortTestHandler : public QObject
{
    Q_OBJECT

public:
    // Longest command line accepted, line feed included; a client that sends more without a
    // line feed is disconnected instead of growing the read buffer without bound.
    static constexpr qint64 kMaxLineLength = 64 * 1024;
    // Replies a client may leave unread before its further lines wait: a client that sends
    // without reading is held back by TCP flow control instead of growing the write buffer.
    static constexpr qint64 kMaxUnsent = 1024 * 1024;

    explicit PortTestHandler(QTcpSocket *socket, QObject *parent = nullptr);
    ~PortTestHandler() override;

    // False when the worker thread could not be started; the connection cannot be served.
    bool isServing() const;

    bool addPortTest(PortTest *test);

    static bool reservePort(int port);
    static void releasePort(int port);
    static bool isPortInUse(int port);

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
    qsizetype lineEnd();
    bool holdReading();
    void scheduleSoon();
    void retireCurrentTest();
    void startNextTest();
    void startTest(PortTest *test);
    void dropTests();
    void releaseEndedTest(PortTest *test);
    void onTestReleased(QObject *test);
    void shutDown();
    void quitWhenReleased();

    std::unique_ptr<PortTesterThread> m_thread;
    // Runs only while tests wait for ports that other connections hold: every other pass is
    // posted by an event (a test queued or ended), so an idle or busy connection costs no
    // polling.
    QTimer m_schedule_timer;
    QList<PortTest *> m_test_queue;
    // Ended tests whose deferred deletion is still pending; kept by identity only, so the
    // worker can wait for them before its loop ends.
    QList<QObject *> m_done_tests;
    QTcpSocket *m_socket = nullptr;
    PortTest *m_current_test = nullptr;
    // Bytes taken from the socket and not yet handled: complete lines up to the next read, and
    // the start of a line whose line feed has not arrived (at most kMaxLineLength).
    QByteArray m_read_buffer;
    qsizetype m_read_pos = 0;
    // The peer's address as text, taken once: it is in every reply and every test.
    QString m_peer_address;
    bool m_closing = false;
    bool m_pass_posted = false;
    // Set while onReadCommand() works through the buffered lines: replies then go out together.
    bool m_reading = false;
    // Set while too many replies are unsent; reading waits for them to drain.
    bool m_reading_held = false;

    // Port numbers held by running tests of all handlers, regardless of protocol. Any worker
    // thread; only through reservePort, releasePort and isPortInUse, under s_ports_mutex.
    static QSet<int> s_reserved_ports;
    static QMutex s_ports_mutex;
};
