// The service's run under the system's service manager, its installation, and the system-log
// half of logMessage().
#include "service/qtservice_p.h"
#include "service/qtserviceargv.h"

#include "service/handlerthread.h"
#include "service/qtservicecontrollerhandler.h"
#include "service/qtserviceplatform.h"
#include "service/qtserviceruntimestate.h"

#include <QDeadlineTimer>
#include <QFileInfo>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int s_arguments_timeout_ms = 20000;
constexpr int s_handler_thread_wait_ms = 1000;

QtServicePlatform *platform()
{
    return QtServicePlatform::instance();
}

// The account a registration runs under: empty for the system's own account.
QString startName(const QString &account)
{
    if (account.isEmpty())
        return QString();
    const QString qualified = account.contains(u'\\') ? account : ".\\"_L1 + account;
    return qualified.endsWith("\\LocalSystem"_L1) ? QString() : qualified;
}

} // namespace

void QtServiceBasePrivate::initRuntime()
{
    cleanupRuntime();
    runtime = new QtServiceRuntimeState(flags);
}

void QtServiceBasePrivate::cleanupRuntime()
{
    delete runtime;
    runtime = nullptr;
}

void QtServiceBasePrivate::updateAcceptedControls()
{
    if (runtime)
        runtime->updateAcceptedControls(flags);
}

bool QtServiceBasePrivate::startAsService()
{
    initRuntime();
    if (!platform()->isAvailable())
        return false;

    auto *thread = new HandlerThread(runtime, controller.serviceName());
    thread->start(QThread::InheritPriority);
    if (!runtime->argumentsReady.tryAcquire(1, s_arguments_timeout_ms))
        return false; // the thread keeps running; nothing to tidy that is safe to tidy
    if (!thread->dispatcherOk) {
        const bool fromConsole = thread->fromConsole;
        thread->wait();
        delete thread;
        return fromConsole && controller.start(arguments.mid(1));
    }

    QtServiceArgv argv(runtime->serviceArguments);
    owner->createApplication(argv.argc(), argv.argv());
    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        // Let the entry thread tell the manager that the service stopped, so the dispatcher
        // (and the unit) end rather than hang in the start-up.
        {
            QMutexLocker locker(&runtime->lock);
            runtime->abandoned = true;
        }
        runtime->applicationReady.release();
        if (thread->wait(QDeadlineTimer(s_handler_thread_wait_ms)))
            delete thread;
        return false;
    }

    runtime->handlerObject = new QtServiceControllerHandler(runtime);
    runtime->applicationReady.release();

    const int exitCode = owner->executeApplication();
    serviceExitCode = exitCode;
    runtime->endEventLoop();
    runtime->setExitCode(exitCode);
    runtime->setState(QtServicePlatform::Stopped);

    const bool finished = thread->wait(QDeadlineTimer(s_handler_thread_wait_ms));
    delete runtime->handlerObject;
    runtime->handlerObject = nullptr;
    if (finished)
        delete thread;
    delete app;
    cleanupRuntime();
    return true;
}

bool QtServiceBasePrivate::install(const QString &account, const QString &password)
{
    // A password has no place here: the account is a local user that needs none, and the
    // password is neither stored nor passed on.
    Q_UNUSED(password);
    if (!platform()->isAvailable())
        return false;
    QtServicePlatform::Registration registration;
    registration.serviceName = controller.serviceName();
    registration.description = description;
    registration.executablePath = executablePath();
    registration.account = startName(account);
    registration.automaticStart = startupType == QtServiceController::AutomaticStart;
    registration.canBeStopped = !(flags & QtServiceBase::CannotBeStopped);
    return platform()->install(registration);
}

QString QtServiceBasePrivate::executablePath() const
{
    return QFileInfo(u"/proc/self/exe"_s).symLinkTarget();
}

void QtServiceBasePrivate::reportEvent(const QString &message, QtServiceBase::MessageType type,
                                       int id, uint category, const QByteArray &data)
{
    if (platform()->isAvailable())
        platform()->reportEvent(controller.serviceName(), message, type, id, category, data);
}
