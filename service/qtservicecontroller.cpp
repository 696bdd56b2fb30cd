// The public controller: every call goes to QtServiceControllerPrivate.
#include "service/qtservice.h"

#include "service/qtservicecontroller_p.h"

#include <QProcess>

QtServiceController::QtServiceController(const QString &name)
    : d_ptr(std::make_unique<QtServiceControllerPrivate>(name))
{
}

QtServiceController::~QtServiceController() = default;

QString QtServiceController::serviceName() const
{
    return d_ptr->serviceName();
}

bool QtServiceController::isInstalled() const
{
    return d_ptr->isInstalled();
}

bool QtServiceController::isRunning() const
{
    return d_ptr->isRunning();
}

QString QtServiceController::serviceFilePath() const
{
    QtServicePlatform::Configuration configuration;
    return d_ptr->queryConfiguration(&configuration) ? configuration.executablePath : QString();
}

QString QtServiceController::serviceDescription() const
{
    QtServicePlatform::Configuration configuration;
    return d_ptr->queryConfiguration(&configuration) ? configuration.description : QString();
}

QtServiceController::StartupType QtServiceController::startupType() const
{
    QtServicePlatform::Configuration configuration;
    return d_ptr->queryConfiguration(&configuration) && configuration.automaticStart
               ? AutomaticStart
               : ManualStart;
}

bool QtServiceController::uninstall()
{
    return d_ptr->uninstall();
}

bool QtServiceController::start(const QStringList &arguments)
{
    return d_ptr->start(arguments);
}

bool QtServiceController::start()
{
    return start(QStringList());
}

bool QtServiceController::stop()
{
    return d_ptr->stop();
}

bool QtServiceController::pause()
{
    return d_ptr->control(QtServicePlatform::PauseControl);
}

bool QtServiceController::resume()
{
    return d_ptr->control(QtServicePlatform::ContinueControl);
}

bool QtServiceController::sendCommand(int code)
{
    return d_ptr->sendCommand(code);
}

bool QtServiceController::install(const QString &serviceFilePath, const QString &account,
                                  const QString &password)
{
    const QStringList args{QStringLiteral("-i"), account, password};
    return QProcess::execute(serviceFilePath, args) == 0;
}
