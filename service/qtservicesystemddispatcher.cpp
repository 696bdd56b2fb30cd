#include "service/qtservicesystemddispatcher.h"

#include "service/qtservicesignalpipe.h"
#include "service/qtservicesystemdunit.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QMutexLocker>
#include <QSocketNotifier>
#include <QThread>

#include <systemd/sd-daemon.h>
#include <systemd/sd-login.h>

#include <csignal>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// How long a controller may take to send its request line.
constexpr int s_request_timeout_ms = 5000;
// How long the dispatcher waits for the service entry thread once the service has stopped.
constexpr int s_entry_thread_wait_ms = 5000;

// The unit systemd runs this process in. sd_pid_get_unit() also reads PID 1's cgroup, which a
// unit with ProtectProc=invisible hides from an unprivileged service; there the last part of the
// process's own cgroup path names the unit.
QString ownUnit()
{
    char *unit = nullptr;
    if (sd_pid_get_unit(0, &unit) >= 0) {
        const QString name = QString::fromUtf8(unit);
        std::free(unit);
        return name;
    }
    QFile cgroups(u"/proc/self/cgroup"_s);
    if (!cgroups.open(QIODevice::ReadOnly))
        return QString();
    // "0::/system.slice/x.service", or "1:name=systemd:/system.slice/x.service" beside others.
    for (const QByteArray &line : cgroups.readAll().split('\n')) {
        const QByteArray last = line.mid(line.lastIndexOf('/') + 1);
        if (line.startsWith("0::") || line.contains(":name=systemd:"))
            return last.endsWith(".service") ? QString::fromUtf8(last) : QString();
    }
    return QString();
}

} // namespace

QtServiceSystemdDispatcher::QtServiceSystemdDispatcher(const QString &serviceName,
                                                       QtServicePlatform::Dispatcher *dispatcher)
    : m_service_name(serviceName.section(QChar(0), 0, 0)), m_dispatcher(dispatcher)
{
}

QtServiceSystemdDispatcher::~QtServiceSystemdDispatcher()
{
    closeControlSocket();
}

bool QtServiceSystemdDispatcher::startedByManager(const QString &serviceName)
{
    return qEnvironmentVariableIsSet("NOTIFY_SOCKET") &&
           ownUnit() == QtServiceSystemdUnit::unitName(serviceName);
}

bool QtServiceSystemdDispatcher::exec()
{
    // Signals are caught from here on; they wait in the pipe until the controls are enabled.
    m_signals = std::make_unique<QtServiceSignalPipe>();
    if (!m_signals->isValid())
        return fail(m_signals->errorString());
    if (!m_channel.listen(QtServiceSystemdUnit::controlSocketPath(m_service_name)))
        return fail(m_channel.errorString());

    const QStringList arguments = takeStartArguments();
    m_entry_thread.reset(
        QThread::create([this, arguments] { m_dispatcher->serviceEntry(arguments); }));
    m_entry_thread->start();
    serveControls();
    closeControlSocket();
    m_signals.reset();
    // The entry thread ends once its start-up request is answered; one that hangs is left
    // behind rather than blocking the end of the service.
    if (!m_entry_thread->wait(QDeadlineTimer(s_entry_thread_wait_ms)))
        (void)m_entry_thread.release();
    return true;
}

bool QtServiceSystemdDispatcher::fail(const QString &reason)
{
    m_error = reason;
    m_signals.reset();
    return false;
}

QStringList QtServiceSystemdDispatcher::takeStartArguments() const
{
    QStringList arguments{m_service_name};
    QFile file(QtServiceSystemdUnit::startArgumentsPath(m_service_name));
    if (!file.open(QIODevice::ReadOnly))
        return arguments;
    const QByteArray data = file.readAll();
    file.remove(); // consumed: a later start without arguments must not see them again
    for (const QByteArray &argument : data.split('\0').mid(0, data.count('\0')))
        arguments += QString::fromUtf8(argument);
    return arguments;
}

void QtServiceSystemdDispatcher::enableControls()
{
    QMutexLocker locker(&m_mutex);
    m_enabled = true;
    m_changed.wakeAll();
}

void QtServiceSystemdDispatcher::serveControls()
{
    // Signals wait in their pipe until the service can take control requests, which is once
    // its application object exists; only then can this thread run an event loop of its own.
    {
        QMutexLocker locker(&m_mutex);
        while (!m_enabled && !m_stopped)
            m_changed.wait(&m_mutex);
        if (m_stopped)
            return;
    }
    QEventLoop loop;
    m_listener =
        std::make_unique<QSocketNotifier>(m_channel.socketDescriptor(), QSocketNotifier::Read);
    connect(m_listener.get(), &QSocketNotifier::activated, this,
            &QtServiceSystemdDispatcher::onConnection);
    connect(m_signals.get(), &QtServiceSignalPipe::signalReceived, this,
            &QtServiceSystemdDispatcher::onSignal);
    {
        QMutexLocker locker(&m_mutex);
        if (m_stopped)
            return;
        m_loop = &loop;
    }
    loop.exec();
    QMutexLocker locker(&m_mutex);
    m_loop = nullptr;
}

void QtServiceSystemdDispatcher::onSignal(int signalNumber)
{
    // SIGHUP is a reload under a service manager (logrotate's postrotate, "kill -HUP"): it must
    // never end the service, which Restart=on-failure would not bring back.
    handle(signalNumber == SIGHUP ? QtServicePlatform::ReloadControl
                                  : QtServicePlatform::StopControl,
           -1);
}

void QtServiceSystemdDispatcher::onConnection()
{
    const int fd = ::accept4(m_channel.socketDescriptor(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    int code = 0;
    if (m_channel.readRequest(fd, s_request_timeout_ms, &code))
        handle(code, fd);
    else
        QtServiceControlChannel::writeReply(fd, std::nullopt);
    ::close(fd);
}

void QtServiceSystemdDispatcher::handle(int code, int replyFd)
{
    // The handler blocks this thread until the service's main thread has dealt with the code.
    const bool done = accepts(code) && m_dispatcher->controlHandler(code);
    if (replyFd < 0)
        return;
    std::optional<QtServicePlatform::Status> status;
    if (done) {
        QMutexLocker locker(&m_mutex);
        status = m_status;
    }
    QtServiceControlChannel::writeReply(replyFd, status);
}

bool QtServiceSystemdDispatcher::accepts(int code) const
{
    QMutexLocker locker(&m_mutex);
    const QtServicePlatform::State state = m_status.currentState;
    const quint32 accepted = m_status.controlsAccepted;
    if (m_stopped || state == QtServicePlatform::Stopped)
        return false;
    if (code == QtServicePlatform::InterrogateControl)
        return true;
    if (state == QtServicePlatform::StopPending || state == QtServicePlatform::StartPending)
        return false;
    switch (code) {
    case QtServicePlatform::StopControl:
        return accepted & QtServicePlatform::AcceptStop;
    case QtServicePlatform::PauseControl:
    case QtServicePlatform::ContinueControl:
        return accepted & QtServicePlatform::AcceptPauseContinue;
    case QtServicePlatform::ReloadControl:
        return true;
    default:
        return code >= QtServicePlatform::FirstUserControl &&
               code <= QtServicePlatform::LastUserControl;
    }
}

void QtServiceSystemdDispatcher::report(const QtServicePlatform::Status &status)
{
    QMutexLocker locker(&m_mutex);
    if (m_stopped)
        return;
    m_status = status;
    const QtServicePlatform::State state = status.currentState;
    QByteArray message =
        "STATUS=" + QtServiceSystemdUnit::statusText(state, status.detail).toUtf8();
    if (state == QtServicePlatform::Running && !m_ready_sent) {
        message += "\nREADY=1";
        m_ready_sent = true;
    }
    if (state == QtServicePlatform::StopPending)
        message += "\nSTOPPING=1";
    sd_notify(0, message.constData());
    if (state == QtServicePlatform::Stopped) {
        m_stopped = true;
        m_changed.wakeAll();
        if (m_loop)
            QMetaObject::invokeMethod(m_loop, &QEventLoop::quit, Qt::QueuedConnection);
    }
}

void QtServiceSystemdDispatcher::closeControlSocket()
{
    m_listener.reset();
    m_channel.close();
}
