#include "app/conntesterservice.h"
#include "app/settings.h"
#include "log/debuglog.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {
// What --help adds to the -h text: what -h leaves out.
constexpr char kMoreHelp[] =
    "\t-p(ause)\t: Pause the service: new connections are turned away.\n"
    "\t-r(esume)\t: Resume the paused service.\n"
    "\t--version\t: Print the program's version.\n"
    "\n"
    "A first argument that is no option is the control port (default 32889; 0: any free\n"
    "port), for -e as well: %s -e 40000\n"
    "\n"
    "Settings (environment, or /etc/default/vx-connectivity-tester for the unit):\n"
    "\tVX_CONTROL_PORT, VX_HTTP_PORT, VX_HTTP_THREADS, VX_TRUSTED_PROXIES,\n"
    "\tVX_MAX_CONNECTIONS_PER_ADDRESS, VX_MAX_TEST_TIME_MS, VX_DEBUGLOG_MAX_BYTES, "
    "VX_DEBUGLOG_DIR,\n"
    "\tVX_CONTROL_IDLE_TIMEOUT_S, VX_CONTROL_TESTS_PER_MINUTE\n"
    "A setting that cannot be used stops the start with a line that names it.\n"
    "\n"
    "Exit status: 0 done; 1 the run could not serve; 2 unknown option; 78 unusable setting;\n"
    "252 could not start; 255 the action did not take effect.\n"
    "See vx-connectivity-tester(8).\n";
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
    DebugLog::configure(settings.debugLogDirectory, settings.debugLogMaxBytes);
    ConnTesterService service(argc, arguments.data(), settings);
    const int result = service.exec();
    if (moreHelp)
        std::printf(kMoreHelp, argv[0]);
    return result;
}
