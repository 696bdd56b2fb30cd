#pragma once

#include "service/qtserviceplatform.h"

#include <QMutex>
#include <QSemaphore>
#include <QStringList>
#include <QWaitCondition>

#include <functional>

class QObject;

// One run of the service under the service manager: the status it reports, the hand-over of
// the start arguments and the delivery of control requests to the main thread, where deliver
// acts on them.
//
// Threads: the service entry thread stores m_arguments before releasing m_start_up (or the
// handler thread releases it without arguments when the dispatch could not begin); the main
// thread reads them after acquiring it. Control requests come from the dispatcher and the
// entry thread and wait, under m_lock, until the main thread has handled the call they posted
// (m_handled catches up with their ticket) or its event loop has ended (m_loop_ended). A
// request sets its pending state before it posts; the main thread sets the state it leads to
// while handling it, so that a later stop is always reported last. Everything below m_lock is
// read and written under it.
class QtServiceRuntimeState final : public QtServicePlatform::Dispatcher
{
public:
    QtServiceRuntimeState(QtServicePlatform &platform, quint32 acceptedControls,
                          std::function<void(int code)> deliver);
    QtServiceRuntimeState(const QtServiceRuntimeState &) = delete;
    QtServiceRuntimeState &operator=(const QtServiceRuntimeState &) = delete;

    // Handler thread: the dispatch ended before the service entry; no arguments will come.
    void cancelStartUp();

    // Main thread. False when neither the arguments nor a cancelled start-up came in time.
    bool waitForStartUp(int timeoutMs);
    QStringList arguments() const { return m_arguments; }
    // The start failed after the arguments came: the entry thread reports the stop and ends.
    void abandon();
    // Control requests reach deliver through receiver's thread from now on.
    void startControls(QObject *receiver);
    void updateAcceptedControls(quint32 acceptedControls);
    // Reported with the state from now on; the same text again reports nothing.
    void setStatusDetail(const QString &detail);
    // The event loop has ended: requests still waiting, or yet to come, are refused instead of
    // waiting for a receiver that no longer runs, and the stop is reported.
    void finish();

    // The routines the platform's dispatcher calls.
    void serviceEntry(const QStringList &arguments) override;
    bool controlHandler(int code) override;

private:
    void handleControl(int code);
    void reportStarted();
    void reportLocked();
    bool postAndWaitLocked(int code);

    QtServicePlatform &m_platform;
    const std::function<void(int code)> m_deliver;
    QStringList m_arguments;
    QSemaphore m_start_up;
    QSemaphore m_application_ready;

    QMutex m_lock;
    QWaitCondition m_handled_changed;
    QtServicePlatform::Status m_status;
    QObject *m_receiver = nullptr;
    bool m_controls_enabled = false;
    bool m_abandoned = false;
    bool m_loop_ended = false;
    quint64 m_posted = 0;
    quint64 m_handled = 0;
};
