#include "options.h"

#include <cstdlib>
#include <sstream>
#include <string_view>

const char *usage()
{
    return "usage: vx-bench-loadgen [--service PATH] [--reference PATH] [options]\n"
           "  --idle N              idle connections (1000)\n"
           "  --idle-seconds S      CPU sampling time of the idle phase (10)\n"
           "  --concurrent N        concurrent connections, each answered once (10000)\n"
           "  --ip-conns N          connections of the getpublicip load (100)\n"
           "  --churn-conns N       connect/ask/close cycles in flight (32)\n"
           "  --turnaround-conns N  connections of the many-connection turnaround (100)\n"
           "  --depth N             tests queued ahead per connection (8)\n"
           "  --seconds S           measured time of the ip, turnaround and churn loads (3)\n"
           "  --window N            connections opening at once (32)\n"
           "  --server-nofile N     descriptor limit, soft and hard, of the servers (65536, as\n"
           "                        the systemd unit gives the service; raising the hard limit\n"
           "                        needs root); 0: the limit the generator started with\n"
           "  --phases LIST         comma-separated subset of idle,concurrent,ip,turnaround,churn\n"
           "  --quickack            turnaround clients acknowledge control data at once (shows\n"
           "                        the service's turnaround without delayed-ACK effects)\n"
           "  --keep-tmp            keep the temporary directory (server output, debug log)\n";
}

namespace {

bool toCount(const char *text, int minimum, int &value)
{
    char *end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || n < minimum || n > 1000000)
        return false;
    value = static_cast<int>(n);
    return true;
}

bool toPhases(const std::string &text, std::set<std::string> &phases)
{
    static const std::set<std::string> known{"idle", "concurrent", "ip", "turnaround", "churn"};
    phases.clear();
    std::istringstream list(text);
    std::string phase;
    while (std::getline(list, phase, ',')) {
        if (!known.count(phase))
            return false;
        phases.insert(phase);
    }
    return !phases.empty();
}

} // namespace

bool parseOptions(int argc, char **argv, Options &options, std::string &error)
{
    const struct
    {
        std::string_view name;
        int *value;
        int minimum;
    } counts[] = {
        {"--idle", &options.idle_conns, 1},
        {"--idle-seconds", &options.idle_seconds, 1},
        {"--concurrent", &options.concurrent_conns, 2},
        {"--ip-conns", &options.ip_conns, 1},
        {"--churn-conns", &options.churn_conns, 1},
        {"--turnaround-conns", &options.turnaround_conns, 1},
        {"--depth", &options.depth, 1},
        {"--seconds", &options.seconds, 1},
        {"--window", &options.window, 1},
        {"--server-nofile", &options.server_nofile, 0},
    };
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            error = usage();
            return false;
        }
        if (arg == "--keep-tmp" || arg == "--quickack") {
            (arg == "--keep-tmp" ? options.keep_tmp : options.quick_ack) = true;
            continue;
        }
        if (i + 1 >= argc) {
            error = "missing value after " + std::string(arg);
            return false;
        }
        const char *value = argv[++i];
        bool known = true, ok = true;
        if (arg == "--service")
            options.service = value;
        else if (arg == "--reference")
            options.reference = value;
        else if (arg == "--phases")
            ok = toPhases(value, options.phases);
        else {
            known = false;
            for (const auto &count : counts) {
                if (arg == count.name) {
                    known = true;
                    ok = toCount(value, count.minimum, *count.value);
                }
            }
        }
        if (!known || !ok) {
            error =
                (known ? "bad value for " : "unknown option ") + std::string(arg) + "\n" + usage();
            return false;
        }
    }
    if (options.service.empty() && options.reference.empty()) {
        error = std::string("give --service, --reference or both\n") + usage();
        return false;
    }
    return true;
}
