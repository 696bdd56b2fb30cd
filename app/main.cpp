#include "app/conntesterservice.h"
#include "app/settings.h"
#include "log/debuglog.h"

#include <QStringList>

#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

using namespace Qt::StringLiterals;

namespace {
// What --help adds to the -h text: what -h leaves out.
constexpr char kMoreHelp[] =
    "\t-p(ause)\t: Pause the service: new connections are turned away.\n"
    "\t-r(esume)\t: Resume the paused service.\n"
    "\t--version\t: Print the program's version.\n"
    "\t--check-settings [port]\t: Check the settings as a start would read them, start\n"
    "\t\t\t  nothing; status 0 or 78 (the unit's reload runs it).\n"
    "Each option has a GNU long form as well: --exec, --install, --terminate, ...\n"
    "\n"
    "A first argument that is no option is the control port (default 32889; 0: any free\n"
    "port), for -e as well: %s -e 40000\n"
    "\n"
    "Settings (environment, or /etc/default/vx-connectivity-tester for the unit):\n"
    "\tVX_CONTROL_PORT, VX_HTTP_PORT, VX_HTTP_THREADS, VX_TRUSTED_PROXIES, VX_METRICS_LISTEN,\n"
    "\tVX_MAX_CONNECTIONS_PER_ADDRESS, VX_MAX_TEST_TIME_MS, VX_DEBUGLOG_MAX_BYTES, "
    "VX_DEBUGLOG_DIR,\n"
    "\tVX_CONTROL_IDLE_TIMEOUT_S, VX_CONTROL_TESTS_PER_MINUTE, VX_HTTP_CHECKS_PER_MINUTE\n"
    "A setting that cannot be used stops the start with a line that names it.\n"
    "Under systemd, SIGHUP (systemctl reload) reopens the debug log; other settings take\n"
    "effect at the next restart.\n"
    "\n"
    "Exit status: 0 done; 1 the run could not serve; 2 usage error; 69 a port could not be\n"
    "listened on; 78 unusable setting; 252 could not start; 255 the action did not take effect.\n"
    "See vx-connectivity-tester(8).\n";
constexpr int UsageError = 2;

bool isOption(const char *argument, const char *shortForm, const char *longForm)
{
    return std::strcmp(argument, shortForm) == 0 || std::strcmp(argument, longForm) == 0 ||
           (argument[0] == '-' && std::strcmp(argument + 1, longForm) == 0);
}

// The run takes at most the port argument: anything after it is a mistake, not something to
// ignore.
int refuseExtraArgument(const char *program, const char *extra)
{
    std::fprintf(stderr, "unexpected argument '%s' (%s -h lists the options)\n", extra, program);
    return UsageError;
}

// --check-settings [port]: every unusable setting on a line of its own, as a start would say it.
int checkSettings(int argc, char **argv, const Settings &settings)
{
    if (argc > 3)
        return refuseExtraArgument(argv[0], argv[3]);
    QStringList problems = settings.problems();
    if (argc == 3)
        ConnTesterService::parsePortArgument(QString::fromLocal8Bit(argv[2]), &problems);
    for (const QString &problem : std::as_const(problems))
        std::fprintf(stderr, "%s\n", problem.toLocal8Bit().constData());
    if (!problems.isEmpty())
        return ConnTesterService::ConfigurationError;
    std::printf("settings: usable\n");
    return 0;
}

// The debug log is failing: the journal hears of it once (the log's own lines are lost).
void tellLogFailure(const QString &reason)
{
    if (QtServiceBase *service = QtServiceBase::instance())
        service->logMessage(u"cannot write the debug log "_s + reason, QtServiceBase::Warning);
}
} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("vx-connectivity-tester %s\n", VX_VERSION);
        return 0;
    }
    // --help is -h and more.
    const bool moreHelp = argc == 2 && std::strcmp(argv[1], "--help") == 0;
    std::vector<char *> arguments(argv, argv + argc);
    char shortHelp[] = "-h";
    if (moreHelp)
        arguments[1] = shortHelp;

    // Every control connection runs an event loop of its own: Qt's plain Unix event dispatcher
    // takes about a quarter less memory per thread than the GLib one, starts threads faster
    // and wakes up with fewer system calls. Read when each thread's loop is created, so it is
    // set before any exists.
    qputenv("QT_NO_GLIB", "1");
    // Read once, before anything logs: the debug log's place and bound are among them.
    const Settings settings = Settings::fromEnvironment();
    if (argc >= 2 && std::strcmp(argv[1], "--check-settings") == 0)
        return checkSettings(argc, argv, settings);
    const bool runs = argc >= 2 && (isOption(argv[1], "-e", "-exec") || argv[1][0] != '-');
    const int firstExtra = argv[1] && argv[1][0] == '-' ? 3 : 2;
    if (runs && argc > firstExtra)
        return refuseExtraArgument(argv[0], argv[firstExtra]);
    DebugLog::setFailureHandler(&tellLogFailure);
    DebugLog::configure(settings.debugLogDirectory, settings.debugLogMaxBytes);
    ConnTesterService service(argc, arguments.data(), settings);
    const int result = service.exec();
    if (moreHelp)
        std::printf(kMoreHelp, argv[0]);
    return result;
}
