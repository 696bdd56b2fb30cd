// Without a service manager every operation on the installed service fails.
#include "service/qtservice.h"

#include <QProcess>

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

bool QtServiceController::isInstalled() const { return false; }
bool QtServiceController::isRunning() const { return false; }
QString QtServiceController::serviceDescription() const { return QString(); }
QtServiceController::StartupType QtServiceController::startupType() const { return ManualStart; }
QString QtServiceController::serviceFilePath() const { return QString(); }
bool QtServiceController::uninstall() { return false; }
bool QtServiceController::start(const QStringList &) { return false; }
bool QtServiceController::start() { return start(QStringList()); }
bool QtServiceController::stop() { return false; }
bool QtServiceController::pause() { return false; }
bool QtServiceController::resume() { return false; }
bool QtServiceController::sendCommand(int) { return false; }

bool QtServiceController::install(const QString &serviceFilePath, const QString &account,
                                  const QString &password)
{
    const QStringList args{QStringLiteral("-i"), account, password};
    return QProcess::execute(serviceFilePath, args) == 0;
}
