// Operations on the installed service through the system's service manager. Where the manager
// is missing every operation gives its failure value; only stop() reports why it failed.
#include "service/qtservice.h"

#include "service/qtserviceplatform.h"

#include <QProcess>

#include <cerrno>

namespace {

// How long stop() waits for the service to reach the stopped state.
constexpr int s_stop_wait_ms = 2000;

QtServicePlatform *platform()
{
    QtServicePlatform *p = QtServicePlatform::instance();
    return p->isAvailable() ? p : nullptr;
}

} // namespace

class QtServiceControllerPrivate
{
public:
    QString serviceName;
};

QtServiceController::QtServiceController(const QString &name)
    : d_ptr(new QtServiceControllerPrivate{name})
{
}

QtServiceController::~QtServiceController()
{
    delete d_ptr;
}

QString QtServiceController::serviceName() const
{
    return d_ptr->serviceName;
}

bool QtServiceController::isInstalled() const
{
    QtServicePlatform *p = platform();
    return p && p->isInstalled(d_ptr->serviceName);
}

bool QtServiceController::isRunning() const
{
    QtServicePlatform *p = platform();
    if (!p)
        return false;
    const auto state = p->state(d_ptr->serviceName);
    return state && *state != QtServicePlatform::Stopped;
}

QString QtServiceController::serviceFilePath() const
{
    QtServicePlatform *p = platform();
    const auto configuration = p ? p->configuration(d_ptr->serviceName) : std::nullopt;
    return configuration ? configuration->executablePath : QString();
}

QString QtServiceController::serviceDescription() const
{
    QtServicePlatform *p = platform();
    const auto configuration = p ? p->configuration(d_ptr->serviceName) : std::nullopt;
    return configuration ? configuration->description : QString();
}

QtServiceController::StartupType QtServiceController::startupType() const
{
    QtServicePlatform *p = platform();
    const auto configuration = p ? p->configuration(d_ptr->serviceName) : std::nullopt;
    return configuration && configuration->automaticStart ? AutomaticStart : ManualStart;
}

bool QtServiceController::uninstall()
{
    QtServicePlatform *p = platform();
    return p && p->uninstall(d_ptr->serviceName);
}

bool QtServiceController::start(const QStringList &arguments)
{
    QtServicePlatform *p = platform();
    return p && p->start(d_ptr->serviceName, arguments);
}

bool QtServiceController::start()
{
    return start(QStringList());
}

bool QtServiceController::stop()
{
    QtServicePlatform *p = platform();
    // A service that is not installed cannot be asked at all: no request, nothing to report.
    if (!p || !p->isInstalled(d_ptr->serviceName))
        return false;
    switch (p->stop(d_ptr->serviceName, s_stop_wait_ms)) {
    case QtServicePlatform::StopResult::Refused: {
        // The caller reports the failure too, with the same reason.
        const int reason = errno;
        qErrnoWarning(reason, "stopping");
        errno = reason;
        return false;
    }
    case QtServicePlatform::StopResult::Stopped:
        return true;
    case QtServicePlatform::StopResult::StillStopping:
        break;
    }
    return false;
}

bool QtServiceController::pause()
{
    QtServicePlatform *p = platform();
    return p && p->control(d_ptr->serviceName, QtServicePlatform::PauseControl).has_value();
}

bool QtServiceController::resume()
{
    QtServicePlatform *p = platform();
    return p && p->control(d_ptr->serviceName, QtServicePlatform::ContinueControl).has_value();
}

bool QtServiceController::sendCommand(int code)
{
    QtServicePlatform *p = platform();
    if (!p || code < 0 || code > 127 || !isRunning())
        return false;
    return p->control(d_ptr->serviceName, QtServicePlatform::FirstUserControl + code).has_value();
}

bool QtServiceController::install(const QString &serviceFilePath, const QString &account,
                                  const QString &password)
{
    const QStringList args{QStringLiteral("-i"), account, password};
    return QProcess::execute(serviceFilePath, args) == 0;
}
