#include "service/qtservicecontroller_p.h"
#include "service/servicelogging.h"

#include <cerrno>

namespace {

// How long stop() waits for the service to reach the stopped state.
constexpr int s_stop_wait_ms = 2000;

} // namespace

QtServiceControllerPrivate::QtServiceControllerPrivate(const QString &serviceName)
    : m_service_name(serviceName), m_platform(QtServicePlatform::create())
{
}

QtServiceControllerPrivate::~QtServiceControllerPrivate() = default;

QtServicePlatform *QtServiceControllerPrivate::platform()
{
    if (m_platform->isAvailable())
        return m_platform.get();
    failed();
    return nullptr;
}

bool QtServiceControllerPrivate::failed()
{
    m_error = m_platform->errorString();
    return false;
}

bool QtServiceControllerPrivate::fail(int errnoCode)
{
    m_error = qt_error_string(errnoCode);
    return false;
}

bool QtServiceControllerPrivate::isInstalled()
{
    QtServicePlatform *p = platform();
    return p && (p->isInstalled(m_service_name) || failed());
}

bool QtServiceControllerPrivate::isRunning()
{
    QtServicePlatform *p = platform();
    QtServicePlatform::State state = QtServicePlatform::Stopped;
    if (p && !p->queryState(m_service_name, &state))
        failed();
    return state != QtServicePlatform::Stopped;
}

bool QtServiceControllerPrivate::queryConfiguration(QtServicePlatform::Configuration *configuration)
{
    QtServicePlatform *p = platform();
    return p && (p->queryConfiguration(m_service_name, configuration) || failed());
}

bool QtServiceControllerPrivate::uninstall()
{
    QtServicePlatform *p = platform();
    return p && (p->uninstall(m_service_name) || failed());
}

bool QtServiceControllerPrivate::start(const QStringList &arguments)
{
    QtServicePlatform *p = platform();
    return p && (p->start(m_service_name, arguments) || failed());
}

bool QtServiceControllerPrivate::stop()
{
    // A service that is not installed cannot be asked at all: no request, nothing to report.
    if (!isInstalled())
        return false;
    bool stopped = false;
    if (!m_platform->stop(m_service_name, s_stop_wait_ms, &stopped)) {
        failed();
        // The caller reports the failure too, with the same reason.
        qCCritical(lcService, "stopping (%s)", qUtf8Printable(m_error));
        return false;
    }
    // Still stopping: the request stands, and the service may well have stopped by a later try.
    return stopped || fail(EAGAIN);
}

bool QtServiceControllerPrivate::control(int code)
{
    QtServicePlatform *p = platform();
    return p && (p->control(m_service_name, code) || failed());
}

bool QtServiceControllerPrivate::sendCommand(int code)
{
    if (!platform())
        return false;
    if (code < 0 || code > 127)
        return fail(EINVAL);
    if (!isRunning())
        return fail(ESRCH);
    return control(QtServicePlatform::FirstUserControl + code);
}
