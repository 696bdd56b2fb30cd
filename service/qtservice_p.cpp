#include "service/qtservice_p.h"
#include "service/servicelogging.h"

#include "log/debuglog.h"
#include "service/handlerthread.h"
#include "service/qtserviceargv.h"
#include "service/qtserviceplatform.h"
#include "service/qtserviceruntimestate.h"
#include "service/qtservicesignalpipe.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QTimer>

#include <cerrno>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

constexpr int s_arguments_timeout_ms = 20000;
constexpr int s_handler_thread_wait_ms = 1000;

const char s_help_text[] =
    "\n%s -[i|u|e|s|v|h]\n"
    "\t-i(nstall) [account] [password]\t: Install the service, optionally using given account "
    "and password\n"
    "\t-u(ninstall)\t: Uninstall the service.\n"
    "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
    "\t-t(erminate)\t: Stop the service.\n"
    "\t-c(ommand) num\t: Send command code num to the service.\n"
    "\t-v(ersion)\t: Print version and status information.\n"
    "\t-h(elp)   \t: Show this help\n"
    "\tNo arguments\t: Start the service.\n";

// Names and paths go to the console as Latin-1; a name cut at a backslash ends at its NUL.
QByteArray latin1(const QString &text)
{
    return text.toLatin1();
}

// The account a registration runs under: empty for the system's own account.
QString startName(const QString &account)
{
    if (account.isEmpty())
        return QString();
    const QString qualified = account.contains(u'\\') ? account : ".\\"_L1 + account;
    return qualified.endsWith("\\LocalSystem"_L1) ? QString() : qualified;
}

quint32 acceptedControls(QtServiceBase::ServiceFlags flags)
{
    quint32 accepted = 0;
    if (flags & QtServiceBase::CanBePaused)
        accepted |= QtServicePlatform::AcceptPauseContinue;
    if (!(flags & QtServiceBase::CannotBeStopped))
        accepted |= QtServicePlatform::AcceptStop;
    return accepted;
}

// A handler thread that does not end in time is left running, with the state it uses, rather
// than destroyed under it.
void endHandlerThread(std::unique_ptr<HandlerThread> thread)
{
    if (!thread->wait(QDeadlineTimer(s_handler_thread_wait_ms)))
        (void)thread.release();
}

} // namespace

QtServiceBasePrivate::QtServiceBasePrivate(const QString &name, const QStringList &arguments,
                                           QtServiceOperations operations)
    : m_arguments(arguments), m_operations(std::move(operations)), m_controller(name),
      m_platform(QtServicePlatform::create())
{
}

QtServiceBasePrivate::~QtServiceBasePrivate() = default;

int QtServiceBasePrivate::exec()
{
    struct Option
    {
        QLatin1StringView shortForm;
        QLatin1StringView longForm;
        int (QtServiceBasePrivate::*run)();
    };
    static const Option options[] = {
        {"-i"_L1, "-install"_L1, &QtServiceBasePrivate::installService},
        {"-u"_L1, "-uninstall"_L1, &QtServiceBasePrivate::uninstallService},
        {"-v"_L1, "-version"_L1, &QtServiceBasePrivate::printVersion},
        {"-e"_L1, "-exec"_L1, &QtServiceBasePrivate::runInForeground},
        {"-t"_L1, "-terminate"_L1, &QtServiceBasePrivate::stopService},
        {"-p"_L1, "-pause"_L1, &QtServiceBasePrivate::pauseService},
        {"-r"_L1, "-resume"_L1, &QtServiceBasePrivate::resumeService},
        {"-c"_L1, "-command"_L1, &QtServiceBasePrivate::sendCommand},
        {"-h"_L1, "-help"_L1, &QtServiceBasePrivate::printHelp},
    };
    const QString option = m_arguments.value(1);
    for (const Option &candidate : options) {
        // The GNU form too ("--exec"): what Linux users type first.
        if (option == candidate.shortForm || option == candidate.longForm ||
            option == u'-' + candidate.longForm)
            return (this->*candidate.run)();
    }
    // A mistyped option (--help, -V) must not start the service instead.
    if (option.startsWith(u'-'))
        return printUsageError(option);
    return startService();
}

int QtServiceBasePrivate::printUsageError(const QString &option) const
{
    std::fprintf(stderr, "unknown option '%s' (%s -h lists the options)\n",
                 latin1(option).constData(), latin1(m_arguments.value(0)).constData());
    return UsageError;
}

QString QtServiceBasePrivate::whyNot(const char *action)
{
    // The service's state says more than the call's own reason.
    const QString reason = m_controller.errorString();
    if (!m_platform->isAvailable())
        return u"no service manager runs here"_s;
    if (!m_controller.isInstalled()) {
        // Not found, or the manager would not say (an unprivileged user may not ask).
        const QString why = m_controller.errorString();
        return why == qt_error_string(ENOENT) || why.isEmpty() ? u"it is not installed"_s : why;
    }
    const bool starting = qstrcmp(action, "start") == 0;
    if (starting && m_controller.isRunning())
        return u"it is already running"_s;
    if (!starting && !m_controller.isRunning())
        return u"it is not running"_s;
    return reason;
}

int QtServiceBasePrivate::printActionError(const char *participle, const QString &reason) const
{
    std::fprintf(stderr, "The service %s could not be %s (%s)\n", printableName().constData(),
                 participle, latin1(reason).constData());
    return -1;
}

QByteArray QtServiceBasePrivate::printableName() const
{
    return latin1(serviceName());
}

int QtServiceBasePrivate::printError(const char *format, int exitCode) const
{
    std::fprintf(stderr, format, printableName().constData());
    return exitCode;
}

int QtServiceBasePrivate::installService()
{
    if (m_controller.isInstalled())
        return printError("The service %s is already installed\n", 0);
    if (!install(m_arguments.value(2), m_arguments.value(3)))
        return printError("The service %s could not be installed\n", -1);
    std::printf("The service %s has been installed under: %s\n", printableName().constData(),
                latin1(executablePath()).constData());
    return 0;
}

int QtServiceBasePrivate::uninstallService()
{
    if (!m_controller.isInstalled())
        return printError("The service %s is not installed\n", 0);
    if (!m_controller.uninstall()) {
        printError("The service %s could not be uninstalled\n", -1);
        // Why, on a line of its own: a packaged unit, say, is left to its package.
        std::fprintf(stderr, "%s\n", latin1(m_controller.errorString()).constData());
        return -1;
    }
    std::printf("The service %s has been uninstalled.\n", printableName().constData());
    return 0;
}

int QtServiceBasePrivate::printVersion()
{
    std::printf("The service\n\t%s\n\t%s\n\n", printableName().constData(),
                latin1(m_arguments.value(0)).constData());
    std::printf("is %s", m_controller.isInstalled() ? "installed" : "not installed");
    std::printf(" and %s\n\n", m_controller.isRunning() ? "running" : "not running");
    return 0;
}

int QtServiceBasePrivate::runInForeground()
{
    m_in_foreground = true;
    QStringList arguments = m_arguments;
    arguments.removeAt(1);
    const int result = runApplication(arguments);
    if (result == -1)
        qErrnoWarning("The service could not be executed.");
    return result;
}

int QtServiceBasePrivate::stopService()
{
    if (m_controller.stop())
        return 0;
    qCCritical(lcService, "The service could not be stopped. (%s)",
               qUtf8Printable(m_controller.errorString()));
    if (m_controller.errorString() == qt_error_string(EAGAIN))
        return printActionError("stopped", u"it is still stopping; the request stands"_s);
    return printActionError("stopped", whyNot("stop"));
}

int QtServiceBasePrivate::pauseService()
{
    if (m_controller.control(QtServicePlatform::PauseControl))
        return 0;
    return printActionError("paused", whyNot("pause"));
}

int QtServiceBasePrivate::resumeService()
{
    if (m_controller.control(QtServicePlatform::ContinueControl))
        return 0;
    return printActionError("resumed", whyNot("resume"));
}

int QtServiceBasePrivate::sendCommand()
{
    // No number, or a word, is command 0.
    const int code = m_arguments.value(2).toInt(nullptr, 10);
    if (code < 0 || code > 127)
        return printActionError("sent the command",
                                u"%1 is no command code: they are 0 to 127"_s.arg(code));
    if (m_controller.sendCommand(code))
        return 0;
    return printActionError("sent the command", whyNot("command"));
}

int QtServiceBasePrivate::printHelp()
{
    std::printf(s_help_text, latin1(m_arguments.value(0)).constData());
    return 0;
}

int QtServiceBasePrivate::startService()
{
    m_service_exit_code = 0;
    if (!startAsService()) {
        printError("The service %s could not start\n", -4);
        // The same line for every cause; the second says which.
        std::fprintf(stderr, "%s\n", latin1(whyNot("start")).constData());
        return -4;
    }
    // A run that ended in failure (its control port could not be bound, say) must not look
    // like success to the service manager.
    return m_service_exit_code;
}

void QtServiceBasePrivate::callStart()
{
    m_operations.start();
}

int QtServiceBasePrivate::runApplication(const QStringList &arguments)
{
    QtServiceArgv argv(arguments);
    m_operations.createApplication(argv.argc(), argv.argv());
    std::unique_ptr<QCoreApplication> app(QCoreApplication::instance());
    if (!app)
        return -1;

    QTimer::singleShot(0, app.get(), m_operations.start);

    // Ctrl-C in a terminal, or a kill, ends the foreground run the same way the service's own
    // code would: by ending the event loop, so the application is deleted and the log closed.
    auto stopper = std::make_unique<QtServiceSignalPipe>();
    QObject::connect(stopper.get(), &QtServiceSignalPipe::signalReceived, app.get(),
                     [] { QCoreApplication::quit(); });

    const int result = m_operations.executeApplication();

    stopper.reset();
    app.reset();
    return result;
}

bool QtServiceBasePrivate::startAsService()
{
    if (!m_platform->isAvailable())
        return false;
    auto thread = std::make_unique<HandlerThread>(serviceName(), acceptedControls(m_flags),
                                                  [this](int code) { deliverControl(code); });
    thread->start(QThread::InheritPriority);
    if (!thread->state().waitForStartUp(s_arguments_timeout_ms)) {
        (void)thread.release(); // it keeps running; nothing to tidy that is safe to tidy
        return false;
    }
    if (thread->startUp() != HandlerThread::StartUp::Dispatching)
        return startFromConsole(*thread);

    m_runtime = &thread->state();
    QtServiceArgv argv(m_runtime->arguments());
    m_operations.createApplication(argv.argc(), argv.argv());
    // Deleted last: after the handler thread, which may still report until it ends.
    const std::unique_ptr<QCoreApplication> app(QCoreApplication::instance());
    serve(*m_runtime, app != nullptr);
    m_runtime = nullptr;
    endHandlerThread(std::move(thread));
    return app != nullptr;
}

bool QtServiceBasePrivate::startFromConsole(HandlerThread &thread)
{
    if (thread.startUp() == HandlerThread::StartUp::Failed) {
        logMessage(u"The Service failed to start [%1]"_s.arg(thread.errorString()),
                   QtServiceBase::Error, 0, 0, QByteArray());
    }
    thread.wait();
    return thread.startUp() == HandlerThread::StartUp::NotStartedByManager &&
           m_controller.start(m_arguments.mid(1));
}

void QtServiceBasePrivate::serve(QtServiceRuntimeState &state, bool hasApplication)
{
    if (!hasApplication) {
        // Let the entry thread tell the manager that the service stopped, so the dispatcher
        // (and the unit) end rather than hang in the start-up.
        state.abandon();
        return;
    }
    QObject receiver; // control requests reach the service through it, on this thread
    state.startControls(&receiver);
    m_service_exit_code = m_operations.executeApplication();
    state.finish();
}

void QtServiceBasePrivate::deliverControl(int code)
{
    using P = QtServicePlatform;
    switch (code) {
    case P::StartControl:
        m_operations.start();
        break;
    case P::StopControl:
        m_operations.stop();
        QCoreApplication::quit();
        break;
    case P::PauseControl:
        m_operations.pause();
        break;
    case P::ContinueControl:
        m_operations.resume();
        break;
    case P::ReloadControl:
        // A log rotated away (logrotate's postrotate) is let go: the next line opens a fresh
        // file at the log's path. Settings stay as the start read them.
        DebugLog::close();
        logMessage(
            u"SIGHUP: reopened the debug log %1; settings take effect at the next restart"_s.arg(
                DebugLog::filePath()),
            QtServiceBase::Information, 0, 0, QByteArray());
        break;
    default:
        if (code >= P::FirstUserControl && code <= P::LastUserControl)
            m_operations.processCommand(code - P::FirstUserControl);
        break;
    }
}

void QtServiceBasePrivate::setStatusDetail(const QString &detail)
{
    if (m_runtime)
        m_runtime->setStatusDetail(detail);
}

void QtServiceBasePrivate::updateAcceptedControls()
{
    if (m_runtime)
        m_runtime->updateAcceptedControls(acceptedControls(m_flags));
}

bool QtServiceBasePrivate::install(const QString &account, const QString &password)
{
    // A password has no place here: the account is a local user that needs none, and the
    // password is neither stored nor passed on.
    Q_UNUSED(password);
    if (!m_platform->isAvailable())
        return false;
    QtServicePlatform::Registration registration;
    registration.serviceName = serviceName();
    registration.description = m_description;
    registration.executablePath = executablePath();
    registration.account = startName(account);
    registration.automaticStart = m_startup_type == QtServiceController::AutomaticStart;
    registration.canBeStopped = !(m_flags & QtServiceBase::CannotBeStopped);
    registration.checkOption = m_check_option;
    return m_platform->install(registration);
}

QString QtServiceBasePrivate::executablePath() const
{
    return QFileInfo(u"/proc/self/exe"_s).symLinkTarget();
}

void QtServiceBasePrivate::logMessage(const QString &message, QtServiceBase::MessageType type,
                                      int id, uint category, const QByteArray &data)
{
    static const char *const tags[] = {"Success] ", "Error] ", "Warning] "};
    const char *tag = (type >= 0 && type < 3) ? tags[type] : "Information] ";
    DebugLog::write(-1, QLatin1StringView("[LOGGED ") + QLatin1StringView(tag) +
                            QString::fromLatin1(message.toLatin1()));
    m_platform->reportEvent(serviceName(), message, type, id, category, data);
}
