#include "ipload.h"

#include "samples.h"

#include <string>

IpLoad::IpLoad(const std::vector<int> &connections) : m_connections(connections) {}

void IpLoad::ask(Connection &c, net::Clock::time_point now, Errors &errors)
{
    c.sent_at = now;
    m_connections.send(c, net::IpRequest, errors);
}

IpLoad::Result IpLoad::run(std::chrono::milliseconds warmup, std::chrono::milliseconds measure)
{
    Result result;
    Samples latencies;
    const auto window_start = net::Clock::now() + warmup;
    const auto end = window_start + measure;
    for (Connection &c : m_connections)
        ask(c, net::Clock::now(), result.errors);
    for (auto now = net::Clock::now(); now < end; now = net::Clock::now()) {
        m_connections.wait(net::millisecondsUntil(end, now), [&](Connection &c) {
            net::Clock::time_point arrived;
            bool answered = false;
            const bool open =
                m_connections.readLines(c, result.errors, [&](const std::string &line) {
                    if (line != net::IpAnswer) {
                        m_connections.fail(c, result.errors, "wrong answer: '" + line + "'");
                        return;
                    }
                    if (!answered)
                        arrived = net::Clock::now();
                    answered = true;
                    if (arrived >= window_start && arrived < end) {
                        ++result.done;
                        latencies.add(net::microseconds(arrived - c.sent_at));
                    }
                });
            if (open && answered && arrived < end)
                ask(c, arrived, result.errors);
        });
    }
    result.setRate(measure);
    result.p50_us = latencies.percentile(50);
    result.p99_us = latencies.percentile(99);
    return result;
}
