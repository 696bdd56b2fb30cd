#pragma once

#include "connectionpool.h"
#include "errors.h"
#include "options.h"
#include "reporttable.h"
#include "serverprocess.h"

#include <cstdint>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <vector>

// Runs every load phase against a fresh process of each server in turn (reference first), and
// fills the report table.
class Bench
{
public:
    explicit Bench(Options options);
    // Runs and prints; the exit code (0 unless the bench itself could not run).
    int run();

private:
    using Column = ReportTable::Column;
    struct Rows
    {
        int idle_cpu, idle_rss;
        int conc_answered, conc_rss, conc_rate;
        int ip_rate, ip_p50, ip_p99;
        int turn_rate[4], turn_run[4], turn_p50[4], turn_p99[4];
        int churn_rate;
    };

    bool prepare();
    bool snapshot(std::string &path);
    void addRows();
    void describeMachine();
    // Starts a fresh server for the column, runs phase on it, stops it and notes anything odd.
    void withServer(Column column, const std::string &phase,
                    const std::function<void(ServerProcess &)> &body);
    void runIdle(ServerProcess &server, Column column);
    void runConcurrent(ServerProcess &server, Column column);
    void runIp(ServerProcess &server, Column column);
    void runChurn(ServerProcess &server, Column column);
    void runTurnaround(ServerProcess &server, int variant);
    void waitForTeardown(ServerProcess &server, long descriptors_before);
    bool warmUp(ServerProcess &server);
    void settle(ServerProcess &server);
    std::string extraThreads(const ServerProcess &server, std::vector<std::string> before) const;
    // Opens count connections on pool and notes those not answered, after who when given.
    ConnectionPool::OpenResult openConnections(ConnectionPool &pool, int count, Column column,
                                               const std::string &phase,
                                               const std::string &who = {});
    void noteErrors(Column column, const std::string &phase, const Errors &errors);
    void note(Column column, const std::string &phase, const std::string &text);
    void noteOutputSize();
    void cleanup();

    Options m_options;
    ReportTable m_table;
    Rows m_rows{};
    std::string m_tmpdir;
    rlimit m_original_nofile{};
    rlimit m_nofile{};
    rlimit m_server_nofile{};
    std::string m_nofile_error; // why the servers' limit could not be raised
    uint16_t m_next_control_port = 29000;
    std::vector<uint16_t> m_test_ports;
};
