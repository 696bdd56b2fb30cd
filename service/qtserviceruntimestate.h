#pragma once

#include "service/qtservice.h"
#include "service/qtserviceplatform.h"

#include <QMutex>
#include <QReadWriteLock>
#include <QSemaphore>
#include <QStringList>
#include <QWaitCondition>

class QEvent;
class QtServiceControllerHandler;

// One run of the service under the service manager: the status it reports, the hand-over of
// the start arguments and the delivery of control requests to the main thread.
//
// Threads: the service entry thread stores serviceArguments before releasing argumentsReady;
// the main thread reads them after acquiring it. Control requests come from the dispatcher
// and the entry thread and wait, under lock, until the main thread has handled the event
// they posted (handledEvents catches up with their ticket) or its event loop has ended
// (loopEnded). A request sets its pending state before it posts; the main thread sets the
// state it leads to while handling it, so that a later stop is always reported last. status
// is changed under lock only.
class QtServiceRuntimeState
{
public:
    explicit QtServiceRuntimeState(QtServiceBase::ServiceFlags flags);
    ~QtServiceRuntimeState();
    QtServiceRuntimeState(const QtServiceRuntimeState &) = delete;
    QtServiceRuntimeState &operator=(const QtServiceRuntimeState &) = delete;

    static quint32 acceptedControls(QtServiceBase::ServiceFlags flags);

    void setState(quint32 state);
    void updateAcceptedControls(QtServiceBase::ServiceFlags flags);
    void setExitCode(int exitCode);
    // Main thread: the event loop has ended; requests still waiting, or yet to come, are
    // refused instead of waiting for a receiver that no longer runs.
    void endEventLoop();
    // Main thread, from the handler object.
    void handleControlEvent(QEvent *event);

    // The routines the dispatcher calls; they reach the state through current and do nothing
    // once it is gone.
    static void serviceEntry(const QStringList &arguments);
    static bool controlHandler(int code);

    QtServicePlatform::Status status;
    quintptr statusHandle = 0;
    QStringList serviceArguments;
    QWaitCondition handled;
    QMutex lock;
    QSemaphore argumentsReady;
    QSemaphore applicationReady;
    QtServiceControllerHandler *handlerObject = nullptr;
    // The start failed after the arguments came: the entry thread reports the stop and ends.
    bool abandoned = false;

private:
    void reportLocked();
    bool postAndWaitLocked(int code);

    quint64 postedEvents = 0;
    quint64 handledEvents = 0;
    bool loopEnded = false;

    // The live state; set by the constructor, cleared by the destructor. Readers hold
    // currentLock for reading while they use the state, so it cannot go away under them.
    static QtServiceRuntimeState *current;
    static QReadWriteLock currentLock;
};
