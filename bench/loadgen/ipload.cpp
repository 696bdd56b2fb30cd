#include "ipload.h"

#include "samples.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {
constexpr std::string_view Request = "getpublicip\n";
const std::string Expected = "Public IP 127.0.0.1";
} // namespace

IpLoad::IpLoad(std::vector<int> connections)
{
    m_connections.resize(connections.size());
    for (size_t i = 0; i < connections.size(); ++i) {
        m_connections[i].fd = connections[i];
        m_poller.add(connections[i], EPOLLIN | EPOLLRDHUP, i);
    }
}

IpLoad::~IpLoad()
{
    for (Connection &c : m_connections) {
        if (c.fd >= 0)
            ::close(c.fd);
    }
}

void IpLoad::fail(Connection &c, Result &result, const std::string &why)
{
    ++result.errors;
    if (result.first_error.empty())
        result.first_error = why;
    m_poller.remove(c.fd);
    ::close(c.fd);
    c.fd = -1;
}

IpLoad::Result IpLoad::run(std::chrono::milliseconds warmup, std::chrono::milliseconds measure)
{
    Result result;
    Samples latencies;
    const auto begin = net::Clock::now();
    const auto window_start = begin + warmup;
    const auto end = window_start + measure;
    for (Connection &c : m_connections) {
        c.sent_at = net::Clock::now();
        if (!net::sendAll(c.fd, Request))
            fail(c, result, std::string("send: ") + std::strerror(errno));
    }
    std::string line;
    for (auto now = net::Clock::now(); now < end; now = net::Clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
        m_poller.wait(static_cast<int>(left.count()) + 1, [&](uint64_t key, uint32_t) {
            Connection &c = m_connections[key];
            if (c.fd < 0)
                return;
            const net::ReadStatus status = net::readAvailable(c.fd, c.reader);
            const auto arrived = net::Clock::now();
            bool answered = false;
            while (c.reader.next(line)) {
                if (line != Expected) {
                    fail(c, result, "wrong answer: '" + line + "'");
                    return;
                }
                answered = true;
                if (arrived >= window_start && arrived < end) {
                    ++result.answers;
                    latencies.add(net::microseconds(arrived - c.sent_at));
                }
            }
            if (status != net::ReadStatus::Open) {
                fail(c, result, "closed by the server");
                return;
            }
            if (answered && arrived < end) {
                c.sent_at = arrived;
                if (!net::sendAll(c.fd, Request))
                    fail(c, result, std::string("send: ") + std::strerror(errno));
            }
        });
    }
    result.per_second =
        static_cast<double>(result.answers) / std::chrono::duration<double>(measure).count();
    result.p50_us = latencies.percentile(50);
    result.p99_us = latencies.percentile(99);
    return result;
}
