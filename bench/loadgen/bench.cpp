#include "bench.h"

#include "churnload.h"
#include "ipload.h"
#include "net.h"
#include "turnaroundload.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace {

constexpr auto Stall = std::chrono::seconds(5);
constexpr auto Settle = std::chrono::milliseconds(1000);
constexpr auto TeardownLimit = std::chrono::seconds(20);
constexpr int TestTimeLimitMs = 1000;
constexpr uint16_t FirstTestPort = 21000;

const char *columnName(ReportTable::Column column)
{
    return column == ReportTable::Column::Service ? "service" : "reference";
}

std::string readFirstLine(const char *path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    for (char &c : line) {
        if (c == '\t')
            c = '-';
    }
    return line;
}

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

// One variant of the turnaround load: protocol and whether it runs on one connection or many.
struct Variant
{
    TurnaroundLoad::Protocol protocol;
    bool many;
    const char *name;
};
constexpr Variant Variants[4] = {
    {TurnaroundLoad::Protocol::Udp, false, "udp in"},
    {TurnaroundLoad::Protocol::Tcp, false, "tcp in"},
    {TurnaroundLoad::Protocol::Udp, true, "udp in"},
    {TurnaroundLoad::Protocol::Tcp, true, "tcp in"},
};

} // namespace

Bench::Bench(Options options) : m_options(std::move(options)) {}

int Bench::run()
{
    if (!prepare())
        return 1;
    addRows();
    describeMachine();
    const std::vector<Column> columns = [this] {
        std::vector<Column> list;
        if (!m_options.reference.empty())
            list.push_back(Column::Reference);
        if (!m_options.service.empty())
            list.push_back(Column::Service);
        return list;
    }();
    // Phase by phase, each on every server, so both see the machine in the same state.
    const auto phase = [&](const char *name, void (Bench::*body)(ServerProcess &, Column)) {
        if (!m_options.phases.count(name))
            return;
        for (Column column : columns)
            withServer(column, name, [&](ServerProcess &s) { (this->*body)(s, column); });
    };
    phase("idle", &Bench::runIdle);
    phase("concurrent", &Bench::runConcurrent);
    phase("ip", &Bench::runIp);
    // The reference has no port tests.
    if (m_options.phases.count("turnaround") && !m_options.service.empty()) {
        for (int variant = 0; variant < 4; ++variant)
            withServer(Column::Service, "turnaround",
                       [&](ServerProcess &s) { runTurnaround(s, variant); });
    }
    phase("churn", &Bench::runChurn);
    noteOutputSize();
    std::fflush(stderr);
    std::printf("\n");
    m_table.print(stdout);
    std::fflush(stdout);
    cleanup();
    return 0;
}

bool Bench::prepare()
{
    // The generator holds one descriptor per connection; take all the system allows. The
    // servers start with the limit a service manager gives the service (--server-nofile), if
    // we may raise it that far, or else with the limit we were given, as from a shell.
    ::getrlimit(RLIMIT_NOFILE, &m_original_nofile);
    m_nofile = m_original_nofile;
    m_server_nofile = m_original_nofile;
    if (m_options.server_nofile > 0) {
        const rlimit wanted{rlim_t(m_options.server_nofile), rlim_t(m_options.server_nofile)};
        if (wanted.rlim_max <= m_original_nofile.rlim_max ||
            ::setrlimit(RLIMIT_NOFILE, &wanted) == 0)
            m_server_nofile = wanted;
        else
            m_nofile_error = std::strerror(errno);
        ::getrlimit(RLIMIT_NOFILE, &m_nofile);
    }
    m_nofile.rlim_cur = m_nofile.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &m_nofile);

    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vx-bench-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        std::fprintf(stderr, "vx-bench-loadgen: mkdtemp: %s\n", std::strerror(errno));
        return false;
    }
    m_tmpdir = pattern;
    if (!snapshot(m_options.service) || !snapshot(m_options.reference))
        return false;

    // Test ports below the ephemeral range, free for both protocols.
    const int wanted = std::max(1, m_options.turnaround_conns);
    for (uint16_t port = FirstTestPort; static_cast<int>(m_test_ports.size()) < wanted;) {
        port = net::findFreePort(port);
        if (port == 0 || port >= m_next_control_port) {
            std::fprintf(stderr, "vx-bench-loadgen: not enough free test ports\n");
            return false;
        }
        m_test_ports.push_back(port++);
    }
    return true;
}

// Runs a copy of each executable, so that a rebuild during the run cannot pull it away.
bool Bench::snapshot(std::string &path)
{
    if (path.empty())
        return true;
    const std::filesystem::path dir = std::filesystem::path(m_tmpdir) / "bin";
    const std::filesystem::path copy = dir / std::filesystem::path(path).filename();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    std::filesystem::copy_file(path, copy, ec);
    if (ec) {
        std::fprintf(stderr, "vx-bench-loadgen: cannot copy %s: %s\n", path.c_str(),
                     ec.message().c_str());
        return false;
    }
    path = copy.string();
    return true;
}

void Bench::addRows()
{
    using Goal = ReportTable::Goal;
    using Kind = Goal::Kind;
    const Options &o = m_options;
    const std::string idle = "idle " + std::to_string(o.idle_conns) + " conns: ";
    const std::string conc = "concurrent " + std::to_string(o.concurrent_conns) + " conns: ";
    const std::string ip = "ip " + std::to_string(o.ip_conns) + " conns: ";
    m_rows.idle_cpu =
        m_table.addRow(idle + "CPU over " + std::to_string(o.idle_seconds) + " s, % of one core", 2,
                       {Kind::Below, 0.5});
    m_rows.idle_rss = m_table.addRow(idle + "RSS KiB per connection", 1);
    m_rows.conc_answered = m_table.addRow(conc + "connections answered", 0,
                                          {Kind::AtLeast, double(o.concurrent_conns)});
    m_rows.conc_rss =
        m_table.addRow(conc + "RSS KiB per connection beyond the first", 1, {Kind::Below, 64});
    m_rows.conc_rate = m_table.addRow(conc + "opened and answered per second", 0);
    m_rows.ip_rate = m_table.addRow(ip + "answers per second", 0, {Kind::RatioAtLeast, 0.5});
    m_rows.ip_p50 = m_table.addRow(ip + "latency p50, us", 0);
    m_rows.ip_p99 = m_table.addRow(ip + "latency p99, us", 0);
    for (int v = 0; v < 4; ++v) {
        const std::string who = "turnaround " + std::string(Variants[v].name) + ", " +
                                (Variants[v].many ? std::to_string(o.turnaround_conns) : "1") +
                                " conn" + (Variants[v].many ? "s: " : ": ");
        const bool one = !Variants[v].many;
        m_rows.turn_rate[v] =
            m_table.addRow(who + "tests per second", 0, one ? Goal{Kind::AtLeast, 1000} : Goal{});
        m_rows.turn_run[v] = m_table.addRow(who + "go to result mean, ms", 3);
        m_rows.turn_p50[v] = m_table.addRow(who + "end to next go p50, ms", 3,
                                            one ? Goal{Kind::Below, 1.0} : Goal{});
        m_rows.turn_p99[v] = m_table.addRow(who + "end to next go p99, ms", 3);
    }
    m_rows.churn_rate = m_table.addRow(
        "churn " + std::to_string(o.churn_conns) + " in flight: connect+ask+close per second", 0);
}

void Bench::describeMachine()
{
    m_table.note(std::to_string(std::thread::hardware_concurrency()) + " cores; RLIMIT_NOFILE " +
                 std::to_string(m_original_nofile.rlim_cur) + " soft / " +
                 std::to_string(m_original_nofile.rlim_max) +
                 " hard given; the generator runs with " + std::to_string(m_nofile.rlim_cur) +
                 ", the servers start with " + std::to_string(m_server_nofile.rlim_cur) +
                 " soft / " + std::to_string(m_server_nofile.rlim_max) + " hard" +
                 (m_server_nofile.rlim_max == rlim_t(m_options.server_nofile)
                      ? " (as the systemd unit's LimitNOFILE gives the service)"
                      : "") +
                 (m_nofile_error.empty()
                      ? ""
                      : " (raising it to " + std::to_string(m_options.server_nofile) +
                            " failed: " + m_nofile_error + ")") +
                 "; tcp_tw_reuse " + readFirstLine("/proc/sys/net/ipv4/tcp_tw_reuse") +
                 "; ephemeral ports " + readFirstLine("/proc/sys/net/ipv4/ip_local_port_range"));
    m_table.note("each phase runs against a fresh server process that has served one warm-up "
                 "connection; turnaround tests ask for a " +
                 std::to_string(TestTimeLimitMs) + " ms limit and keep " +
                 std::to_string(m_options.depth) +
                 " tests queued per connection; turnaround clients " +
                 (m_options.quick_ack ? "acknowledge control data at once (--quickack)"
                                      : "acknowledge as usual (delayed ACKs)"));
}

void Bench::note(Column column, const std::string &phase, const std::string &text)
{
    m_table.note(phase + "/" + columnName(column) + ": " + text);
}

ConnectionPool::OpenResult Bench::openConnections(ConnectionPool &pool, int count, Column column,
                                                  const std::string &phase, const std::string &who)
{
    ConnectionPool::OpenResult opened = pool.open(count, m_options.window, Stall);
    if (opened.failed.count > 0)
        note(column, phase,
             (who.empty() ? "" : who + ": ") + std::to_string(opened.failed.count) +
                 " connections not answered; first: " + opened.failed.first);
    return opened;
}

void Bench::noteErrors(Column column, const std::string &phase, const Errors &errors)
{
    if (errors.count > 0)
        note(column, phase, std::to_string(errors.count) + " errors; first: " + errors.first);
}

void Bench::withServer(Column column, const std::string &phase,
                       const std::function<void(ServerProcess &)> &body)
{
    std::vector<std::string> command;
    if (column == Column::Service)
        command = {m_options.service, "-e"};
    else
        command = {m_options.reference};
    ServerProcess server(columnName(column), command, m_tmpdir, m_server_nofile);
    const uint16_t port = net::findFreePort(m_next_control_port);
    m_next_control_port = static_cast<uint16_t>(port + 1);
    std::fprintf(stderr, "%-10s %-9s on port %u ...\n", phase.c_str(), columnName(column), port);
    if (port == 0 || !server.start(port)) {
        note(column, phase, "could not start: " + server.error());
        return;
    }
    const std::vector<std::string> threads = server.threadNames();
    if (!warmUp(server)) {
        note(column, phase, "warm-up connection not answered");
        return;
    }
    body(server);
    if (!server.isRunning()) {
        note(column, phase, "server " + server.error());
        return;
    }
    // Stopping a server while it still tears connections down is a different test; give it
    // time to finish first.
    settle(server);
    const std::string extra = extraThreads(server, threads);
    if (!extra.empty())
        note(column, phase, "threads left after the last client: " + extra);
    const bool running = server.isRunning();
    const std::string end = server.stop();
    if (!running)
        note(column, phase, "server " + end);
    else if (end != "exit 0")
        note(column, phase, "server stopped with " + end);
}

// One connection served and closed, so that what a server sets up on first use (log file,
// buffers) is in every baseline.
bool Bench::warmUp(ServerProcess &server)
{
    {
        ConnectionPool pool(server.port());
        if (pool.open(1, 1, Stall).answered != 1)
            return false;
    }
    settle(server);
    return true;
}

// Waits until the thread count has held still for a while, i.e. the server has finished
// tearing down the connections that were closed.
void Bench::settle(ServerProcess &server)
{
    constexpr auto Quiet = std::chrono::milliseconds(300);
    const auto begin = net::Clock::now();
    auto last_change = begin;
    long threads = server.threads();
    while (net::Clock::now() - last_change < Quiet && net::Clock::now() - begin < TeardownLimit &&
           server.isRunning()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const long now = server.threads();
        if (now != threads) {
            threads = now;
            last_change = net::Clock::now();
        }
    }
}

// The threads the server has now and had not before, by name.
std::string Bench::extraThreads(const ServerProcess &server, std::vector<std::string> before) const
{
    std::string extra;
    for (const std::string &name : server.threadNames()) {
        const auto known = std::find(before.begin(), before.end(), name);
        if (known != before.end()) {
            before.erase(known);
            continue;
        }
        extra += (extra.empty() ? "" : ", ") + name;
    }
    return extra;
}

void Bench::runIdle(ServerProcess &server, Column column)
{
    const long rss_before = server.rssKiB();
    ConnectionPool pool(server.port());
    const auto opened = openConnections(pool, m_options.idle_conns, column, "idle");
    // A server that died under the load has no figures; withServer notes how it ended.
    if (opened.answered == 0 || !server.isRunning())
        return;
    const long rss_after = server.rssKiB();
    if (rss_before >= 0 && rss_after >= 0)
        m_table.set(m_rows.idle_rss, column,
                    double(rss_after - rss_before) / double(opened.answered));
    pool.stayIdle(Settle);
    const double cpu_before = server.cpuSeconds();
    const auto begin = net::Clock::now();
    const int disturbed = pool.stayIdle(std::chrono::seconds(m_options.idle_seconds));
    const double elapsed = std::chrono::duration<double>(net::Clock::now() - begin).count();
    const double cpu_after = server.cpuSeconds();
    if (!server.isRunning())
        return;
    if (cpu_before >= 0 && cpu_after >= 0)
        m_table.set(m_rows.idle_cpu, column, (cpu_after - cpu_before) / elapsed * 100.0);
    if (disturbed > 0)
        note(column, "idle",
             std::to_string(disturbed) + " idle connections got data or were closed by the server");
    if (column == Column::Service)
        note(column, "idle",
             std::to_string(opened.answered) + " connections: " + std::to_string(server.threads()) +
                 " threads, " + std::to_string(server.descriptors()) + " descriptors");
}

void Bench::runConcurrent(ServerProcess &server, Column column)
{
    const long fds_before = server.descriptors();
    ConnectionPool pool(server.port());
    const auto first = pool.open(1, 1, Stall);
    if (first.answered != 1) {
        note(column, "concurrent", "first connection not answered: " + first.failed.first);
        return;
    }
    const long rss_first = server.rssKiB();
    const auto rest = openConnections(pool, m_options.concurrent_conns - 1, column, "concurrent");
    const long rss_all = server.rssKiB();
    const int answered = 1 + rest.answered;
    m_table.set(m_rows.conc_answered, column, answered);
    // A server that died under the load has no figures; withServer notes how it ended.
    if (!server.isRunning())
        return;
    if (rest.answered > 0 && rss_first >= 0 && rss_all >= 0) {
        m_table.set(m_rows.conc_rss, column, double(rss_all - rss_first) / double(rest.answered));
        m_table.set(m_rows.conc_rate, column, double(rest.answered) / rest.seconds);
    }
    note(column, "concurrent",
         std::to_string(answered) + " open: " + std::to_string(server.threads()) + " threads, " +
             std::to_string(server.descriptors()) + " descriptors, RSS " +
             std::to_string(rss_all / 1024) + " MiB");
    pool.closeAll();
    waitForTeardown(server, fds_before);
}

// After the clients are gone the server should give back every descriptor; how long it takes
// tells whether tearing down connections in bulk is cheap.
void Bench::waitForTeardown(ServerProcess &server, long descriptors_before)
{
    const Column column = server.name() == "service" ? Column::Service : Column::Reference;
    const auto begin = net::Clock::now();
    long fds = server.descriptors();
    while (fds > descriptors_before && net::Clock::now() - begin < TeardownLimit &&
           server.isRunning()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        fds = server.descriptors();
    }
    const double seconds = std::chrono::duration<double>(net::Clock::now() - begin).count();
    // A live server always holds its listener; no descriptors at all means it is exiting.
    for (int i = 0; i < 20 && fds <= 0 && server.isRunning(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        fds = server.descriptors();
    }
    if (fds <= 0 || !server.isRunning())
        return;
    if (fds <= descriptors_before)
        note(column, "concurrent",
             "all closed: descriptors back to " + std::to_string(fds) + " in " + fixed(seconds, 2) +
                 " s, " + std::to_string(server.threads()) + " threads");
    else if (server.isRunning())
        note(column, "concurrent",
             "all closed: still " + std::to_string(fds) + " descriptors (" +
                 std::to_string(descriptors_before) + " before) after " + fixed(seconds, 0) + " s");
}

void Bench::runIp(ServerProcess &server, Column column)
{
    ConnectionPool pool(server.port());
    const auto opened = openConnections(pool, m_options.ip_conns, column, "ip");
    if (opened.answered == 0)
        return;
    IpLoad load(pool.takeDescriptors());
    const auto result =
        load.run(std::chrono::milliseconds(500), std::chrono::seconds(m_options.seconds));
    m_table.set(m_rows.ip_rate, column, result.per_second);
    if (result.done > 0) {
        m_table.set(m_rows.ip_p50, column, result.p50_us);
        m_table.set(m_rows.ip_p99, column, result.p99_us);
    }
    noteErrors(column, "ip", result.errors);
}

void Bench::runChurn(ServerProcess &server, Column column)
{
    ChurnLoad load(server.port());
    const auto result = load.run(m_options.churn_conns, std::chrono::seconds(m_options.seconds));
    m_table.set(m_rows.churn_rate, column, result.per_second);
    noteErrors(column, "churn", result.errors);
}

void Bench::runTurnaround(ServerProcess &server, int variant)
{
    const Variant &v = Variants[variant];
    const int conns = v.many ? m_options.turnaround_conns : 1;
    const std::string who = std::string(v.name) + ", " + std::to_string(conns) + " conn(s)";
    ConnectionPool pool(server.port());
    const auto opened = openConnections(pool, conns, Column::Service, "turnaround", who);
    if (opened.answered == 0)
        return;
    std::vector<uint16_t> ports(m_test_ports.begin(), m_test_ports.begin() + opened.answered);
    TurnaroundLoad load(pool.takeDescriptors(), ports, v.protocol, m_options.quick_ack);
    const auto result =
        load.run(m_options.depth, TestTimeLimitMs, std::chrono::seconds(m_options.seconds));
    m_table.set(m_rows.turn_rate[variant], Column::Service, result.per_second);
    if (result.run_mean_us >= 0)
        m_table.set(m_rows.turn_run[variant], Column::Service, result.run_mean_us / 1000.0);
    if (result.gaps > 0) {
        m_table.set(m_rows.turn_p50[variant], Column::Service, result.gap_p50_us / 1000.0);
        m_table.set(m_rows.turn_p99[variant], Column::Service, result.gap_p99_us / 1000.0);
    }
    if (result.failures > 0 || result.timeouts > 0 || result.errors.count > 0)
        note(Column::Service, "turnaround",
             who + ": " + std::to_string(result.failures) + " failure lines, " +
                 std::to_string(result.timeouts) + " timeout lines, " +
                 std::to_string(result.errors.count) + " errors" +
                 (result.errors.first.empty() ? "" : "; first: " + result.errors.first));
}

// The service writes a debug log line for nearly everything; its size shows what that costs.
void Bench::noteOutputSize()
{
    std::error_code ec;
    uintmax_t bytes = 0;
    for (const auto &entry : std::filesystem::directory_iterator(m_tmpdir, ec)) {
        if (entry.is_regular_file(ec))
            bytes += entry.file_size(ec);
    }
    m_table.note(
        "server output and debug logs of the whole run: " + fixed(double(bytes) / 1048576.0, 1) +
        " MiB" + (m_options.keep_tmp ? " (kept in " + m_tmpdir + ")" : ""));
}

void Bench::cleanup()
{
    if (m_options.keep_tmp)
        return;
    std::error_code ec;
    std::filesystem::remove_all(m_tmpdir, ec);
}
