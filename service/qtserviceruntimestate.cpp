#include "service/qtserviceruntimestate.h"

#include "service/qtservicecontrollerhandler.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMutexLocker>
#include <QReadLocker>
#include <QWriteLocker>

QtServiceRuntimeState *QtServiceRuntimeState::current = nullptr;
// Recursive: the entry thread holds it across the start-up request it makes itself.
QReadWriteLock QtServiceRuntimeState::currentLock(QReadWriteLock::Recursive);

namespace {

// Windows' own-process service type, kept so the record reads as the framework knows it.
constexpr quint32 s_own_process_type = 0x110;

QtServicePlatform *platform()
{
    return QtServicePlatform::instance();
}

// The pending state a control code sets before it is handled, and the state it leads to once
// it is (0: unchanged).
quint32 stateBefore(int code)
{
    switch (code) {
    case QtServicePlatform::StartControl:
        return QtServicePlatform::StartPending;
    case QtServicePlatform::StopControl:
        return QtServicePlatform::StopPending;
    case QtServicePlatform::PauseControl:
        return QtServicePlatform::PausePending;
    case QtServicePlatform::ContinueControl:
        return QtServicePlatform::ContinuePending;
    }
    return 0;
}

quint32 stateAfter(int code)
{
    switch (code) {
    case QtServicePlatform::StartControl:
    case QtServicePlatform::ContinueControl:
        return QtServicePlatform::Running;
    case QtServicePlatform::PauseControl:
        return QtServicePlatform::Paused;
    }
    return 0;
}

} // namespace

QtServiceRuntimeState::QtServiceRuntimeState(QtServiceBase::ServiceFlags flags)
{
    status.serviceType = s_own_process_type;
    status.currentState = QtServicePlatform::Stopped;
    status.controlsAccepted = acceptedControls(flags);
    QWriteLocker locker(&currentLock);
    current = this;
}

QtServiceRuntimeState::~QtServiceRuntimeState()
{
    QWriteLocker locker(&currentLock);
    if (current == this)
        current = nullptr;
}

quint32 QtServiceRuntimeState::acceptedControls(QtServiceBase::ServiceFlags flags)
{
    quint32 accepted = 0;
    if (flags & QtServiceBase::CanBePaused)
        accepted |= QtServicePlatform::AcceptPauseContinue;
    if (!(flags & QtServiceBase::CannotBeStopped))
        accepted |= QtServicePlatform::AcceptStop;
    return accepted;
}

void QtServiceRuntimeState::reportLocked()
{
    if (platform()->isAvailable())
        platform()->reportStatus(statusHandle, status);
}

void QtServiceRuntimeState::setState(quint32 state)
{
    QMutexLocker locker(&lock);
    status.currentState = state;
    reportLocked();
}

void QtServiceRuntimeState::updateAcceptedControls(QtServiceBase::ServiceFlags flags)
{
    QMutexLocker locker(&lock);
    status.controlsAccepted = acceptedControls(flags);
    reportLocked();
}

void QtServiceRuntimeState::setExitCode(int exitCode)
{
    QMutexLocker locker(&lock);
    status.exitCode = quint32(exitCode);
}

void QtServiceRuntimeState::endEventLoop()
{
    QMutexLocker locker(&lock);
    loopEnded = true;
    handled.wakeAll();
}

void QtServiceRuntimeState::handleControlEvent(QEvent *event)
{
    const int code = int(event->type()) - int(QEvent::User);
    QtServiceBase *service = QtServiceBase::instance();
    if (service) {
        if (code == QtServicePlatform::StartControl) {
            service->start();
        } else if (code == QtServicePlatform::StopControl) {
            service->stop();
            QCoreApplication::quit();
        } else if (code == QtServicePlatform::PauseControl) {
            service->pause();
        } else if (code == QtServicePlatform::ContinueControl) {
            service->resume();
        } else if (code >= QtServicePlatform::FirstUserControl &&
                   code <= QtServicePlatform::LastUserControl) {
            service->processCommand(code - QtServicePlatform::FirstUserControl);
        }
    }
    QMutexLocker locker(&lock);
    // The state a request leads to is set here, on the main thread, so that it is reported
    // before anything this thread does later (above all the stop at the end of the run).
    const quint32 after = stateAfter(code);
    if (after != 0 && status.currentState != QtServicePlatform::Stopped) {
        status.currentState = after;
        reportLocked();
    }
    ++handledEvents;
    handled.wakeAll();
}

bool QtServiceRuntimeState::postAndWaitLocked(int code)
{
    if (loopEnded || !handlerObject)
        return false;
    const quint64 ticket = ++postedEvents;
    QCoreApplication::postEvent(handlerObject, new QEvent(QEvent::Type(int(QEvent::User) + code)));
    // Events to one receiver are delivered in the order they were posted, so the request is
    // handled once the count of handled events reaches its ticket.
    while (handledEvents < ticket && !loopEnded)
        handled.wait(&lock);
    return handledEvents >= ticket;
}

bool QtServiceRuntimeState::controlHandler(int code)
{
    QReadLocker currentLocker(&currentLock);
    QtServiceRuntimeState *state = current;
    if (!state)
        return false;
    QMutexLocker locker(&state->lock);

    using P = QtServicePlatform;
    bool done = true;
    switch (code) {
    case P::StartControl:
    case P::StopControl:
    case P::PauseControl:
    case P::ContinueControl:
        state->status.currentState = stateBefore(code);
        state->reportLocked();
        done = state->postAndWaitLocked(code);
        break;
    default:
        if (code >= P::FirstUserControl && code <= P::LastUserControl)
            done = state->postAndWaitLocked(code);
        break;
    }
    // Answers interrogations and user commands and repeats the state just set; never once the
    // main thread has reported the stop, which a late pending state must not replace.
    if (state->status.currentState != P::Stopped)
        state->reportLocked();
    return done;
}

void QtServiceRuntimeState::serviceEntry(const QStringList &arguments)
{
    // Held for the whole start-up, so the state outlives it: the main thread takes the lock
    // for writing only when it cleans up after the run.
    QReadLocker currentLocker(&currentLock);
    QtServiceRuntimeState *state = current;
    if (!state || !QtServiceBase::instance())
        return;
    state->serviceArguments = arguments;
    state->argumentsReady.release();
    state->applicationReady.acquire();

    const QString name = QtServiceBase::instance()->serviceName();
    const quintptr handle = platform()->registerControlHandler(name);
    {
        QMutexLocker locker(&state->lock);
        state->statusHandle = handle;
        if (handle == 0)
            return;
        // The run already failed or ended before the manager could hear of it: tell it now.
        if (state->abandoned || state->loopEnded) {
            state->status.currentState = QtServicePlatform::Stopped;
            if (state->abandoned)
                state->status.exitCode = 1;
            state->reportLocked();
            return;
        }
    }
    controlHandler(QtServicePlatform::StartControl);
}
