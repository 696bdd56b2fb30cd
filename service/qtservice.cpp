#include "service/qtservice.h"

#include "log/debuglog.h"
#include "service/qtservice_p.h"
#include "service/qtserviceargv.h"
#include "service/qtservicesignalpipe.h"
#include "service/qtservicestarter.h"

#include <QTimer>

#include <cstdio>
#include <memory>

QAtomicPointer<QtServiceBase> QtServiceBasePrivate::instance;

namespace {

constexpr int s_max_name_length = 255;

QString checkedServiceName(const QString &name)
{
    QString checked = name;
    if (checked.size() > s_max_name_length) {
        qWarning("QtService: 'name' is longer than %d characters.", s_max_name_length);
        checked.truncate(s_max_name_length);
    }
    if (checked.contains(u'\\')) {
        qWarning("QtService: 'name' contains backslashes '\\'.");
        checked.replace(u'\\', QChar(0));
    }
    return checked;
}

// Names and paths go to the console as Latin-1; a name cut at a backslash ends at its NUL.
QByteArray latin1(const QString &text)
{
    return text.toLatin1();
}

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

} // namespace

QtServiceBasePrivate::QtServiceBasePrivate(QtServiceBase *owner, const QString &name)
    : owner(owner), controller(name)
{
}

QtServiceBasePrivate::~QtServiceBasePrivate() = default;

void QtServiceBasePrivate::callStart()
{
    owner->start();
}

int QtServiceBasePrivate::runApplication(const QStringList &args)
{
    QtServiceArgv argv(args);
    owner->createApplication(argv.argc(), argv.argv());
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return -1;

    auto starter = std::make_unique<QtServiceStarter>(this);
    QTimer::singleShot(0, starter.get(), &QtServiceStarter::slotStart);

    // Ctrl-C in a terminal, or a kill, ends the foreground run the same way the service's own
    // code would: by ending the event loop, so the application is deleted and the log closed.
    auto stopper = std::make_unique<QtServiceSignalPipe>();
    QObject::connect(stopper.get(), &QtServiceSignalPipe::signalReceived, app,
                     [] { QCoreApplication::quit(); });

    const int result = owner->executeApplication();

    stopper.reset();
    delete app;
    starter.reset();
    return result;
}

QtServiceBase::QtServiceBase(int argc, char **argv, const QString &name)
{
    DebugLog::install();

    Q_ASSERT_X(!QtServiceBasePrivate::instance.loadRelaxed(), "QtServiceBase",
               "!QtServiceBasePrivate::instance");
    QtServiceBasePrivate::instance.storeRelease(this);

    d_ptr = new QtServiceBasePrivate(this, checkedServiceName(name));
    for (int i = 0; i < argc; ++i)
        d_ptr->arguments.append(QString::fromLocal8Bit(argv[i]));
}

QtServiceBase::~QtServiceBase()
{
    delete d_ptr;
    QtServiceBasePrivate::instance.storeRelease(nullptr);
}

QString QtServiceBase::serviceName() const
{
    return d_ptr->controller.serviceName();
}

QString QtServiceBase::serviceDescription() const
{
    return d_ptr->description;
}

void QtServiceBase::setServiceDescription(const QString &description)
{
    d_ptr->description = description;
}

QtServiceController::StartupType QtServiceBase::startupType() const
{
    return d_ptr->startupType;
}

void QtServiceBase::setStartupType(QtServiceController::StartupType type)
{
    d_ptr->startupType = type;
}

QtServiceBase::ServiceFlags QtServiceBase::serviceFlags() const
{
    return d_ptr->flags;
}

void QtServiceBase::setServiceFlags(ServiceFlags flags)
{
    if (d_ptr->flags.toInt() == flags.toInt())
        return;
    d_ptr->flags = flags;
    d_ptr->updateAcceptedControls();
}

QtServiceBase *QtServiceBase::instance()
{
    return QtServiceBasePrivate::instance.loadAcquire();
}

void QtServiceBase::stop() {}
void QtServiceBase::pause() {}
void QtServiceBase::resume() {}
void QtServiceBase::processCommand(int) {}

void QtServiceBase::logMessage(const QString &message, MessageType type, int id, uint category,
                               const QByteArray &data)
{
    static const char *const tags[] = {"Success] ", "Error] ", "Warning] "};
    const char *tag = (type >= 0 && type < 3) ? tags[type] : "Information] ";
    DebugLog::write(-1, QLatin1StringView("[LOGGED ") + QLatin1StringView(tag) +
                            QString::fromLatin1(message.toLatin1()));
    d_ptr->reportEvent(message, type, id, category, data);
}

int QtServiceBase::exec()
{
    const QStringList &args = d_ptr->arguments;
    const QString option = args.size() > 1 ? args.at(1) : QString();
    const QByteArray name = latin1(serviceName());
    const auto is = [&option](const char *shortForm, const char *longForm) {
        return option == QLatin1StringView(shortForm) || option == QLatin1StringView(longForm);
    };

    if (is("-i", "-install")) {
        if (d_ptr->controller.isInstalled()) {
            std::fprintf(stderr, "The service %s is already installed\n", name.constData());
            return 0;
        }
        const QString account = args.value(2);
        const QString password = args.value(3);
        if (!d_ptr->install(account, password)) {
            std::fprintf(stderr, "The service %s could not be installed\n", name.constData());
            return -1;
        }
        std::printf("The service %s has been installed under: %s\n", name.constData(),
                    latin1(d_ptr->executablePath()).constData());
        return 0;
    }
    if (is("-u", "-uninstall")) {
        if (!d_ptr->controller.isInstalled()) {
            std::fprintf(stderr, "The service %s is not installed\n", name.constData());
            return 0;
        }
        if (!d_ptr->controller.uninstall()) {
            std::fprintf(stderr, "The service %s could not be uninstalled\n", name.constData());
            return -1;
        }
        std::printf("The service %s has been uninstalled.\n", name.constData());
        return 0;
    }
    if (is("-v", "-version")) {
        std::printf("The service\n\t%s\n\t%s\n\n", name.constData(),
                    latin1(args.value(0)).constData());
        std::printf("is %s", d_ptr->controller.isInstalled() ? "installed" : "not installed");
        std::printf(" and %s\n\n", d_ptr->controller.isRunning() ? "running" : "not running");
        return 0;
    }
    if (is("-e", "-exec")) {
        QStringList runArgs = args;
        runArgs.removeAt(1);
        const int result = d_ptr->runApplication(runArgs);
        if (result == -1)
            qErrnoWarning("The service could not be executed.");
        return result;
    }
    if (is("-t", "-terminate")) {
        if (!d_ptr->controller.stop())
            qErrnoWarning("The service could not be stopped.");
        return 0;
    }
    if (is("-p", "-pause")) {
        d_ptr->controller.pause();
        return 0;
    }
    if (is("-r", "-resume")) {
        d_ptr->controller.resume();
        return 0;
    }
    if (is("-c", "-command")) {
        d_ptr->controller.sendCommand(args.value(2).toInt(nullptr, 10));
        return 0;
    }
    if (is("-h", "-help")) {
        std::printf(s_help_text, latin1(args.value(0)).constData());
        return 0;
    }
    d_ptr->serviceExitCode = 0;
    if (!d_ptr->startAsService()) {
        std::fprintf(stderr, "The service %s could not start\n", name.constData());
        return -4;
    }
    // A run that ended in failure (its control port could not be bound, say) must not look
    // like success to the service manager.
    return d_ptr->serviceExitCode;
}
