#pragma once

#include "controlconnections.h"
#include "linereader.h"
#include "loadresult.h"
#include "net.h"
#include "samples.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// Port tests back to back, as a client would run them against the service: each control
// connection keeps a fixed number of "testport in ..." requests queued, answers each go line at
// once (a "PortTestPing" datagram for UDP, a connect for TCP), and asks for the next test the
// moment one ends. Each connection tests its own port, so connections never wait for each
// other's port reservations.
class TurnaroundLoad
{
public:
    enum class Protocol { Udp, Tcp };

    // done: tests that succeeded inside the measured window.
    struct Result : LoadResult
    {
        // From a test's go line to its result line.
        double run_mean_us = -1;
        // From a test's result line to the next queued test's go line.
        double gap_p50_us = -1;
        double gap_p99_us = -1;
        long gaps = 0;
        long failures = 0;
        long timeouts = 0;
    };

    // connections: open control connections, one test port each; closed on destruction.
    // quick_ack: acknowledge control data at once rather than as a usual client does, to see
    // the service's own turnaround apart from delayed-ACK effects.
    TurnaroundLoad(const std::vector<int> &connections, const std::vector<uint16_t> &test_ports,
                   Protocol protocol, bool quick_ack);
    ~TurnaroundLoad();

    Result run(int depth, int time_limit_ms, std::chrono::milliseconds measure);

private:
    struct Connection
    {
        int fd = -1;
        uint16_t port = 0;
        std::string request; // one "testport in <protocol> <port> <limit>" line
        LineReader reader;
        int outstanding = 0;  // requested and not yet ended
        int probe_fd = -1;    // TCP: our connection to the test port
        bool running = false; // go line seen, result not yet
        net::Clock::time_point go_at;
        net::Clock::time_point last_ping;
        bool end_valid = false; // the last test ended while another was queued
        net::Clock::time_point last_end;
    };

    struct Window
    {
        net::Clock::time_point start;
        net::Clock::time_point end;
        bool contains(net::Clock::time_point t) const { return t >= start && t < end; }
    };

    void request(Connection &c, int count, Result &result);
    void onLine(Connection &c, const std::string &line, const Window &window, Result &result);
    void onGo(Connection &c, net::Clock::time_point now, const Window &window);
    void onEnd(Connection &c, const std::string &status, net::Clock::time_point now,
               const Window &window, Result &result);
    void ping(Connection &c, net::Clock::time_point now);
    void repeatPings(net::Clock::time_point now);

    Protocol m_protocol;
    int m_udp_fd = -1;
    ControlConnections<Connection> m_connections;
    Samples m_gaps;
    Samples m_runs;
};
