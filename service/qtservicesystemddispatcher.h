#pragma once

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
// when m_enabled or m_stopped became true.
class QtServiceSystemdDispatcher : public QObject
{
    Q_OBJECT

public:
    QtServiceSystemdDispatcher(const QString &serviceName,
                               QtServicePlatform::Dispatcher *dispatcher);
    ~QtServiceSystemdDispatcher() override;

    // True when systemd started this process as the service's unit.
    static bool startedByManager(const QString &serviceName);

    QtServicePlatform::DispatchResult exec(QString *error);
    void enableControls();
    void report(const QtServicePlatform::Status &status);

private:
    void onSignal(int signalNumber);
    void serveControls();
    void onConnection();
    void handle(int code, int replyFd);
    bool accepts(int code) const;
    QStringList takeStartArguments() const;
    void closeControlSocket();

    const QString m_service_name;
    QtServicePlatform::Dispatcher *const m_dispatcher;
    std::unique_ptr<QtServiceSignalPipe> m_signals;
    std::unique_ptr<QSocketNotifier> m_listener;
    std::unique_ptr<QThread> m_entry_thread;
    int m_listen_fd = -1;

    mutable QMutex m_mutex;
    QWaitCondition m_changed;
    QtServicePlatform::Status m_status;
    bool m_ready_sent = false;
    bool m_stopped = false;
    bool m_enabled = false;
    QEventLoop *m_loop = nullptr;
};
