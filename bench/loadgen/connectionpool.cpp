#include "connectionpool.h"

#include "net.h"

#include <string>
#include <unistd.h>

namespace {
// Keys of answered connections carry this bit; pending ones are keyed by their slot.
constexpr uint64_t OpenBit = uint64_t(1) << 63;
} // namespace

ConnectionPool::ConnectionPool(uint16_t port) : m_target(net::loopback(port)) {}

ConnectionPool::~ConnectionPool()
{
    closeAll();
}

bool ConnectionPool::startOne(Errors &errors)
{
    // Slots are reused, so the key is the slot index.
    size_t slot = 0;
    while (slot < m_pending.size() && m_pending[slot].isActive())
        ++slot;
    if (slot == m_pending.size())
        m_pending.emplace_back();
    return m_pending[slot].start(m_target, m_poller, slot, errors);
}

void ConnectionPool::keep(int fd)
{
    m_poller.modify(fd, EPOLLIN | EPOLLRDHUP, OpenBit | m_open.size());
    m_open.push_back(fd);
}

ConnectionPool::OpenResult ConnectionPool::open(int count, int window, std::chrono::seconds stall)
{
    OpenResult result;
    const auto begin = net::Clock::now();
    auto last_progress = begin;
    auto last_answer = begin;
    int started = 0;
    int in_flight = 0;
    while (started < count || in_flight > 0) {
        while (started < count && in_flight < window) {
            ++started;
            if (startOne(result.failed))
                ++in_flight;
        }
        bool progress = false;
        m_poller.wait(50, [&](uint64_t key, uint32_t events) {
            if ((key & OpenBit) || key >= m_pending.size() || !m_pending[key].isActive())
                return;
            IpQuery &query = m_pending[key];
            const IpQuery::Step step = query.onReady(events, result.failed);
            if (step == IpQuery::Step::Waiting)
                return;
            if (step == IpQuery::Step::Failed) {
                query.close();
            } else {
                ++result.answered;
                keep(query.release());
                last_answer = net::Clock::now();
            }
            --in_flight;
            progress = true;
        });
        const auto now = net::Clock::now();
        if (progress)
            last_progress = now;
        if (now - last_progress > stall) {
            for (IpQuery &query : m_pending) {
                if (!query.isActive())
                    continue;
                result.failed.add("no answer within " + std::to_string(stall.count()) + " s");
                query.close();
            }
            result.failed.count += count - started; // never tried
            break;
        }
    }
    // Up to the last answer, not including the wait for answers that never came.
    result.seconds = std::chrono::duration<double>(last_answer - begin).count();
    m_pending.clear();
    return result;
}

int ConnectionPool::stayIdle(std::chrono::milliseconds duration)
{
    int disturbed = 0;
    const auto end = net::Clock::now() + duration;
    for (auto now = net::Clock::now(); now < end; now = net::Clock::now()) {
        m_poller.wait(net::millisecondsUntil(end, now), [&](uint64_t key, uint32_t) {
            const size_t index = static_cast<size_t>(key & ~OpenBit);
            if (!(key & OpenBit) || index >= m_open.size())
                return;
            // Data or a close from an idle connection is unexpected; count it once and stop
            // watching it, so a broken connection does not wake us forever.
            ++disturbed;
            m_poller.remove(m_open[index]);
        });
    }
    return disturbed;
}

std::vector<int> ConnectionPool::takeDescriptors()
{
    for (int fd : m_open)
        m_poller.remove(fd);
    std::vector<int> fds;
    fds.swap(m_open);
    return fds;
}

void ConnectionPool::closeAll()
{
    for (int fd : m_open)
        ::close(fd);
    m_open.clear();
    for (IpQuery &query : m_pending)
        query.close();
    m_pending.clear();
}
