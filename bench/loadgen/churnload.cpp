#include "churnload.h"

#include "net.h"

#include <algorithm>

namespace {
// With no cycle completing, this many errors mean the server is not there any more.
constexpr long ErrorLimit = 10000;
} // namespace

ChurnLoad::ChurnLoad(uint16_t port) : m_target(net::loopback(port)) {}

ChurnLoad::~ChurnLoad()
{
    for (IpQuery &query : m_queries)
        query.close();
}

void ChurnLoad::restart(size_t index, Result &result)
{
    m_queries[index].close();
    m_queries[index].start(m_target, m_poller, index, result.errors);
}

ChurnLoad::Result ChurnLoad::run(int concurrency, std::chrono::milliseconds measure)
{
    Result result;
    m_queries.assign(static_cast<size_t>(concurrency), IpQuery{});
    for (size_t i = 0; i < m_queries.size(); ++i)
        restart(i, result);
    const auto end = net::Clock::now() + measure;
    for (auto now = net::Clock::now(); now < end; now = net::Clock::now()) {
        if (result.done == 0 && result.errors.count > ErrorLimit)
            break;
        m_poller.wait(std::min(net::millisecondsUntil(end, now), 10),
                      [&](uint64_t key, uint32_t events) {
                          if (!m_queries[key].isActive())
                              return;
                          const IpQuery::Step step = m_queries[key].onReady(events, result.errors);
                          if (step == IpQuery::Step::Waiting)
                              return;
                          if (step == IpQuery::Step::Answered)
                              ++result.done;
                          restart(key, result);
                      });
        // Queries whose connect failed at once are retried on the next round.
        for (size_t i = 0; i < m_queries.size(); ++i) {
            if (!m_queries[i].isActive())
                restart(i, result);
        }
    }
    result.setRate(measure);
    return result;
}
