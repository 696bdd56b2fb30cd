#pragma once

#include "protocol/lineframer.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>

#include <atomic>
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
    // Replies a client may leave unread before its further lines wait: a client that sends
    // without reading is held back by TCP flow control instead of growing the write buffer.
    static constexpr qint64 kMaxUnsent = 1024 * 1024;

    // maxTestTimeMs: longer time limits asked for are cut to it.
    explicit PortTestHandler(QTcpSocket *socket, int maxTestTimeMs, QObject *parent = nullptr);
    ~PortTestHandler() override;

    // False when the worker thread could not be started; the connection cannot be served.
    bool isServing() const;
    // The peer's address as text; fixed at construction, so any thread may read it.
    QString peerAddress() const { return m_peer_address; }

    bool addPortTest(PortTest *test);

    // Reserves the port unless a test holds it; for checks outside any control connection.
    static bool reservePort(int port);
    static void releasePort(int port);
    static bool isPortInUse(int port);
    // Reserves the port, or, when another test holds it, has releasePort() post a scheduling
    // pass to this handler: one atomic step, so no release between the two goes unseen.
    bool reservePortOrWait(int port);

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
    void startTest(PortTest *test);
    void dropTests();
    void releaseEndedTest(PortTest *test);
    void onTestReleased(QObject *test);
    void shutDown();
    void quitWhenReleased();

    std::unique_ptr<PortTesterThread> m_thread;
    // No scheduling timer: every pass is posted by an event (a test queued or ended, or a port
    // this connection waits for released), so no connection costs any polling.
    QList<PortTest *> m_test_queue;
    // Ended tests whose deferred deletion is still pending; kept by identity only, so the
    // worker can wait for them before its loop ends.
    QList<QObject *> m_done_tests;
    QTcpSocket *m_socket = nullptr;
    PortTest *m_current_test = nullptr;
    // Lines longer than ControlProtocol::MaxLineLength end the connection.
    LineFramer m_framer;
    // The peer's address as text, taken once: it is in every reply and every test.
    QString m_peer_address;
    int m_max_test_time = 0;
    bool m_closing = false;
    // Set while a scheduling pass is posted; other threads set it through scheduleSoon().
    std::atomic<bool> m_pass_posted = false;
    // Set while onReadCommand() works through the buffered lines: replies then go out together.
    bool m_reading = false;
    // Set while too many replies are unsent; reading waits for them to drain.
    bool m_reading_held = false;

    // Port numbers held by running tests of all handlers, regardless of protocol, and by the web
    // front door's checks. Any thread; only through reservePort, reservePortOrWait, releasePort
    // and isPortInUse, under s_ports_mutex.
    static QSet<int> s_reserved_ports;
    // Handlers waiting for a reserved port, woken (and forgotten) when it is released. Under
    // s_ports_mutex too; a handler removes itself before it is destroyed.
    static QMultiHash<int, PortTestHandler *> s_port_waiters;
    static QMutex s_ports_mutex;
};
