#pragma once

#include "service/qtservicecontrolchannel.h"
#include "service/qtserviceplatform.h"

#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QWaitCondition>

#include <memory>

class QEventLoop;
class QSocketNotifier;
class QThread;
class QtServiceSignalPipe;

// The service side under systemd, living in the thread that calls exec(). It hands the start
// arguments to the service entry thread, turns SIGTERM and SIGINT into the stop control and
// serves the control socket, and reports the service's status with sd_notify.
//
// Threads: exec(), the signal pipe and the socket notifier belong to the dispatcher thread;
// enableControls() comes from the service entry thread; report() from any thread. m_mutex
// guards m_status, m_ready_sent, m_stopped, m_enabled and m_loop; m_changed tells exec()
// when m_enabled or m_stopped became true. m_error is the dispatcher thread's.
class QtServiceSystemdDispatcher : public QObject
{
    Q_OBJECT

public:
    QtServiceSystemdDispatcher(const QString &serviceName,
                               QtServicePlatform::Dispatcher *dispatcher);
    ~QtServiceSystemdDispatcher() override;

    // True when systemd started this process as the service's unit.
    static bool startedByManager(const QString &serviceName);

    // Serves the service until it reports Stopped; false at once when it cannot begin, with
    // the reason in errorString().
    bool exec();
    QString errorString() const { return m_error; }
    void enableControls();
    void report(const QtServicePlatform::Status &status);

private:
    void onSignal(int signalNumber);
    void serveControls();
    void onConnection();
    void handle(int code, int replyFd);
    bool accepts(int code) const;
    QStringList takeStartArguments() const;
    bool fail(const QString &reason);
    void closeControlSocket();

    const QString m_service_name;
    QtServicePlatform::Dispatcher *const m_dispatcher;
    QString m_error;
    std::unique_ptr<QtServiceSignalPipe> m_signals;
    QtServiceControlChannel m_channel;
    std::unique_ptr<QSocketNotifier> m_listener; // on m_channel, so destroyed before it
    std::unique_ptr<QThread> m_entry_thread;

    mutable QMutex m_mutex;
    QWaitCondition m_changed;
    QtServicePlatform::Status m_status;
    bool m_ready_sent = false;
    bool m_stopped = false;
    bool m_enabled = false;
    QEventLoop *m_loop = nullptr;
};
