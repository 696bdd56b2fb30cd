#include "turnaroundload.h"

#include <cerrno>
#include <cstring>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// The client repeats its ping this often until the test ends, as the real client does.
constexpr auto PingInterval = std::chrono::milliseconds(50);
constexpr std::string_view Ping = "PortTestPing";
} // namespace

TurnaroundLoad::TurnaroundLoad(std::vector<int> connections, std::vector<uint16_t> test_ports,
                               Protocol protocol, bool quick_ack)
    : m_protocol(protocol), m_quick_ack(quick_ack)
{
    m_udp_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    m_connections.resize(connections.size());
    for (size_t i = 0; i < connections.size(); ++i) {
        m_connections[i].fd = connections[i];
        m_connections[i].port = test_ports[i];
        m_poller.add(connections[i], EPOLLIN | EPOLLRDHUP, i);
    }
}

TurnaroundLoad::~TurnaroundLoad()
{
    for (Connection &c : m_connections) {
        if (c.probe_fd >= 0)
            ::close(c.probe_fd);
        if (c.fd >= 0)
            ::close(c.fd);
    }
    if (m_udp_fd >= 0)
        ::close(m_udp_fd);
}

void TurnaroundLoad::fail(Connection &c, Result &result, const std::string &why)
{
    ++result.errors;
    if (result.first_error.empty())
        result.first_error = why;
    m_poller.remove(c.fd);
    ::close(c.fd);
    c.fd = -1;
    c.running = false;
}

bool TurnaroundLoad::request(Connection &c, int count, Result &result)
{
    std::string lines;
    for (int i = 0; i < count; ++i)
        lines += c.request;
    if (!net::sendAll(c.fd, lines)) {
        fail(c, result, std::string("send: ") + std::strerror(errno));
        return false;
    }
    c.outstanding += count;
    return true;
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
            ++result.tests;
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
        fail(c, result, "unexpected line: '" + line + "'");
        return;
    }
    if (status.empty())
        onGo(c, now, window);
    else if (status == "success" || status == "failure" || status == "timeout")
        onEnd(c, status, now, window, result);
    else
        fail(c, result, "unexpected line: '" + line + "'");
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
    std::string line;
    for (auto now = window.start; now < window.end; now = net::Clock::now()) {
        m_poller.wait(5, [&](uint64_t key, uint32_t) {
            Connection &c = m_connections[key];
            if (c.fd < 0)
                return;
            const net::ReadStatus status = net::readAvailable(c.fd, c.reader);
            if (m_quick_ack)
                net::ackNow(c.fd);
            while (c.fd >= 0 && c.reader.next(line))
                onLine(c, line, window, result);
            if (c.fd >= 0 && status != net::ReadStatus::Open)
                fail(c, result, "closed by the server");
        });
        repeatPings(net::Clock::now());
    }
    result.per_second =
        static_cast<double>(result.tests) / std::chrono::duration<double>(measure).count();
    result.run_mean_us = m_runs.mean();
    result.gaps = static_cast<long>(m_gaps.count());
    result.gap_p50_us = m_gaps.percentile(50);
    result.gap_p99_us = m_gaps.percentile(99);
    return result;
}
