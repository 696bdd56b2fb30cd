#include "service/qtserviceruntimestate.h"

#include <QMetaObject>
#include <QMutexLocker>
#include <QObject>

#include <optional>

namespace {

using P = QtServicePlatform;

// The pending state a control code sets before it is handled, and the state it leads to once
// it is; none: unchanged.
std::optional<P::State> stateBefore(int code)
{
    switch (code) {
    case P::StartControl:
        return P::StartPending;
    case P::StopControl:
        return P::StopPending;
    case P::PauseControl:
        return P::PausePending;
    case P::ContinueControl:
        return P::ContinuePending;
    }
    return std::nullopt;
}

// Start is not here: its Running waits for the loop's next turn (handleControl).
std::optional<P::State> stateAfter(int code)
{
    switch (code) {
    case P::ContinueControl:
        return P::Running;
    case P::PauseControl:
        return P::Paused;
    }
    return std::nullopt;
}

bool isUserControl(int code)
{
    return code >= P::FirstUserControl && code <= P::LastUserControl;
}

} // namespace

QtServiceRuntimeState::QtServiceRuntimeState(QtServicePlatform &platform, quint32 acceptedControls,
                                             std::function<void(int code)> deliver)
    : m_platform(platform), m_deliver(std::move(deliver))
{
    m_status.controlsAccepted = acceptedControls;
}

void QtServiceRuntimeState::cancelStartUp()
{
    m_start_up.release();
}

bool QtServiceRuntimeState::waitForStartUp(int timeoutMs)
{
    return m_start_up.tryAcquire(1, timeoutMs);
}

void QtServiceRuntimeState::abandon()
{
    {
        QMutexLocker locker(&m_lock);
        m_abandoned = true;
    }
    m_application_ready.release();
}

void QtServiceRuntimeState::startControls(QObject *receiver)
{
    {
        QMutexLocker locker(&m_lock);
        m_receiver = receiver;
    }
    m_application_ready.release();
}

void QtServiceRuntimeState::reportLocked()
{
    if (m_controls_enabled)
        m_platform.reportStatus(m_status);
}

void QtServiceRuntimeState::updateAcceptedControls(quint32 acceptedControls)
{
    QMutexLocker locker(&m_lock);
    m_status.controlsAccepted = acceptedControls;
    reportLocked();
}

void QtServiceRuntimeState::setStatusDetail(const QString &detail)
{
    QMutexLocker locker(&m_lock);
    if (m_status.detail == detail)
        return;
    m_status.detail = detail;
    if (m_status.currentState == P::Running || m_status.currentState == P::Paused)
        reportLocked();
}

void QtServiceRuntimeState::finish()
{
    QMutexLocker locker(&m_lock);
    m_loop_ended = true;
    m_receiver = nullptr;
    m_handled_changed.wakeAll();
    m_status.currentState = P::Stopped;
    reportLocked();
}

void QtServiceRuntimeState::handleControl(int code)
{
    m_deliver(code);
    QMutexLocker locker(&m_lock);
    if (code == P::StartControl && m_receiver) {
        // Running (which tells the manager the service is ready) waits for the loop's next
        // turn: a start that ended the loop, as one whose port could not be bound does, never
        // reports it, and the manager sees the start fail.
        QMetaObject::invokeMethod(
            m_receiver, [this] { reportStarted(); }, Qt::QueuedConnection);
    } else if (const std::optional<P::State> after = stateAfter(code);
               after && m_status.currentState != P::Stopped) {
        // The state a request leads to is set here, on the main thread, so that it is reported
        // before anything this thread does later (above all the stop at the end of the run).
        m_status.currentState = *after;
        reportLocked();
    }
    ++m_handled;
    m_handled_changed.wakeAll();
}

void QtServiceRuntimeState::reportStarted()
{
    QMutexLocker locker(&m_lock);
    // A stop requested meanwhile has set its own state, which Running must not replace.
    if (m_status.currentState != P::StartPending)
        return;
    m_status.currentState = P::Running;
    reportLocked();
}

bool QtServiceRuntimeState::postAndWaitLocked(int code)
{
    if (m_loop_ended || !m_receiver)
        return false;
    const quint64 ticket = ++m_posted;
    QMetaObject::invokeMethod(
        m_receiver, [this, code] { handleControl(code); }, Qt::QueuedConnection);
    // Calls queued to one receiver run in the order they were posted, so the request is
    // handled once the count of handled calls reaches its ticket.
    while (m_handled < ticket && !m_loop_ended)
        m_handled_changed.wait(&m_lock);
    return m_handled >= ticket;
}

bool QtServiceRuntimeState::controlHandler(int code)
{
    QMutexLocker locker(&m_lock);
    bool done = true;
    if (const std::optional<P::State> before = stateBefore(code)) {
        m_status.currentState = *before;
        reportLocked();
        done = postAndWaitLocked(code);
    } else if (isUserControl(code) || code == P::ReloadControl) {
        done = postAndWaitLocked(code);
    }
    // Answers interrogations and user commands and repeats the state just set; never once the
    // main thread has reported the stop, which a late pending state must not replace.
    if (m_status.currentState != P::Stopped)
        reportLocked();
    return done;
}

void QtServiceRuntimeState::serviceEntry(const QStringList &arguments)
{
    m_arguments = arguments;
    m_start_up.release();
    m_application_ready.acquire();

    const bool enabled = m_platform.enableControls();
    {
        QMutexLocker locker(&m_lock);
        m_controls_enabled = enabled;
        if (!enabled)
            return;
        // The run already failed or ended before the manager could hear of it: tell it now.
        if (m_abandoned || m_loop_ended) {
            m_status.currentState = P::Stopped;
            reportLocked();
            return;
        }
    }
    controlHandler(P::StartControl);
}
