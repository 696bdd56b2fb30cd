#include "turnaroundload.h"

#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// The client repeats its ping this often until the test ends, as the real client does.
constexpr auto PingInterval = std::chrono::milliseconds(50);
constexpr std::string_view Ping = "PortTestPing";
} // namespace

TurnaroundLoad::TurnaroundLoad(const std::vector<int> &connections,
                               const std::vector<uint16_t> &test_ports, Protocol protocol,
                               bool quick_ack)
    : m_protocol(protocol),
      m_udp_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)),
      m_connections(connections, quick_ack)
{
    size_t i = 0;
    for (Connection &c : m_connections)
        c.port = test_ports[i++];
}

TurnaroundLoad::~TurnaroundLoad()
{
    for (Connection &c : m_connections) {
        if (c.probe_fd >= 0)
            ::close(c.probe_fd);
    }
    if (m_udp_fd >= 0)
        ::close(m_udp_fd);
}

void TurnaroundLoad::request(Connection &c, int count, Result &result)
{
    std::string lines;
    for (int i = 0; i < count; ++i)
        lines += c.request;
    if (m_connections.send(c, lines, result.errors))
        c.outstanding += count;
}

void TurnaroundLoad::ping(Connection &c, net::Clock::time_point now)
{
    const sockaddr_in to = net::loopback(c.port);
    ::sendto(m_udp_fd, Ping.data(), Ping.size(), 0, reinterpret_cast<const sockaddr *>(&to),
             sizeof(to));
    c.last_ping = now;
}

void TurnaroundLoad::repeatPings(net::Clock::time_point now)
{
    for (Connection &c : m_connections) {
        if (c.fd >= 0 && c.running && now - c.last_ping >= PingInterval)
            ping(c, now);
    }
}

void TurnaroundLoad::onGo(Connection &c, net::Clock::time_point now, const Window &window)
{
    if (c.end_valid && window.contains(now))
        m_gaps.add(net::microseconds(now - c.last_end));
    c.end_valid = false;
    c.running = true;
    c.go_at = now;
    if (m_protocol == Protocol::Udp) {
        ping(c, now);
        return;
    }
    if (c.probe_fd >= 0)
        ::close(c.probe_fd);
    // Nothing to do once the connect goes through: the service reports the accept.
    c.probe_fd = net::startConnect(net::loopback(c.port));
}

void TurnaroundLoad::onEnd(Connection &c, const std::string &status, net::Clock::time_point now,
                           const Window &window, Result &result)
{
    if (c.running && window.contains(now))
        m_runs.add(net::microseconds(now - c.go_at));
    c.running = false;
    if (c.probe_fd >= 0) {
        ::close(c.probe_fd);
        c.probe_fd = -1;
    }
    if (window.contains(now)) {
        if (status == "success")
            ++result.done;
        else if (status == "timeout")
            ++result.timeouts;
        else
            ++result.failures;
    }
    --c.outstanding;
    // The next go line only measures the turnaround when that test was already waiting.
    c.end_valid = c.outstanding > 0;
    c.last_end = now;
    if (now < window.end)
        request(c, 1, result);
}

void TurnaroundLoad::onLine(Connection &c, const std::string &line, const Window &window,
                            Result &result)
{
    const auto now = net::Clock::now();
    std::istringstream words(line);
    std::string keyword, direction, protocol, port, status;
    words >> keyword >> direction >> protocol >> port >> status;
    const std::string wanted_protocol = m_protocol == Protocol::Udp ? "udp" : "tcp";
    if (keyword != "porttesting" || direction != "in" || protocol != wanted_protocol ||
        port != std::to_string(c.port)) {
        m_connections.fail(c, result.errors, "unexpected line: '" + line + "'");
        return;
    }
    if (status.empty())
        onGo(c, now, window);
    else if (status == "success" || status == "failure" || status == "timeout")
        onEnd(c, status, now, window, result);
    else
        m_connections.fail(c, result.errors, "unexpected line: '" + line + "'");
}

TurnaroundLoad::Result TurnaroundLoad::run(int depth, int time_limit_ms,
                                           std::chrono::milliseconds measure)
{
    Result result;
    m_gaps.clear();
    m_runs.clear();
    const std::string protocol = m_protocol == Protocol::Udp ? "udp" : "tcp";
    for (Connection &c : m_connections) {
        c.request = "testport in " + protocol + " " + std::to_string(c.port) + " " +
                    std::to_string(time_limit_ms) + "\n";
        request(c, depth, result);
    }
    Window window;
    window.start = net::Clock::now();
    window.end = window.start + measure;
    for (auto now = window.start; now < window.end; now = net::Clock::now()) {
        m_connections.wait(5, [&](Connection &c) {
            m_connections.readLines(c, result.errors, [&](const std::string &line) {
                onLine(c, line, window, result);
            });
        });
        repeatPings(net::Clock::now());
    }
    result.setRate(measure);
    result.run_mean_us = m_runs.mean();
    result.gaps = static_cast<long>(m_gaps.count());
    result.gap_p50_us = m_gaps.percentile(50);
    result.gap_p99_us = m_gaps.percentile(99);
    return result;
}
