#include "connectionpool.h"

#include "net.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {
// Keys of answered connections carry this bit; pending ones are keyed by their slot.
constexpr uint64_t OpenBit = uint64_t(1) << 63;
} // namespace

ConnectionPool::ConnectionPool(uint16_t port)
    : m_target(net::loopback(port)), m_expected("Public IP 127.0.0.1")
{
}

ConnectionPool::~ConnectionPool()
{
    closeAll();
}

void ConnectionPool::fail(OpenResult &result, const std::string &why)
{
    ++result.failed;
    if (result.firstError.empty())
        result.firstError = why;
}

bool ConnectionPool::startOne(OpenResult &result)
{
    const int fd = net::startConnect(m_target);
    if (fd < 0) {
        fail(result, std::string("connect: ") + std::strerror(errno));
        return false;
    }
    // Slots are reused, so the key is the slot index.
    size_t slot = 0;
    while (slot < m_pending.size() && m_pending[slot].fd >= 0)
        ++slot;
    if (slot == m_pending.size())
        m_pending.emplace_back();
    m_pending[slot].fd = fd;
    m_pending[slot].connected = false;
    m_pending[slot].reader.clear();
    m_poller.add(fd, EPOLLOUT, slot);
    return true;
}

ConnectionPool::Step ConnectionPool::onPendingReady(size_t index, uint32_t events,
                                                    OpenResult &result)
{
    Pending &p = m_pending[index];
    if (!p.connected) {
        const int err = net::socketError(p.fd);
        if (err != 0 || (events & (EPOLLERR | EPOLLHUP))) {
            fail(result, std::string("connect: ") + std::strerror(err ? err : ECONNRESET));
            return Step::Failed;
        }
        p.connected = true;
        if (!net::sendAll(p.fd, "getpublicip\n")) {
            fail(result, std::string("send: ") + std::strerror(errno));
            return Step::Failed;
        }
        m_poller.modify(p.fd, EPOLLIN, index);
        return Step::Waiting;
    }
    const net::ReadStatus status = net::readAvailable(p.fd, p.reader);
    std::string line;
    if (!p.reader.next(line)) {
        if (status == net::ReadStatus::Open)
            return Step::Waiting;
        fail(result, "closed by the server before answering");
        return Step::Failed;
    }
    if (line != m_expected) {
        fail(result, "wrong answer: '" + line + "'");
        return Step::Failed;
    }
    ++result.answered;
    m_poller.modify(p.fd, EPOLLIN | EPOLLRDHUP, OpenBit | m_open.size());
    m_open.push_back(p.fd);
    p.fd = -1;
    return Step::Answered;
}

void ConnectionPool::dropPending(Pending &p)
{
    m_poller.remove(p.fd);
    ::close(p.fd);
    p.fd = -1;
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
            if (startOne(result))
                ++in_flight;
        }
        bool progress = false;
        m_poller.wait(50, [&](uint64_t key, uint32_t events) {
            if ((key & OpenBit) || key >= m_pending.size() || m_pending[key].fd < 0)
                return;
            const Step step = onPendingReady(key, events, result);
            if (step == Step::Waiting)
                return;
            if (step == Step::Failed)
                dropPending(m_pending[key]);
            else
                last_answer = net::Clock::now();
            --in_flight;
            progress = true;
        });
        const auto now = net::Clock::now();
        if (progress)
            last_progress = now;
        if (now - last_progress > stall) {
            for (Pending &p : m_pending) {
                if (p.fd < 0)
                    continue;
                fail(result, "no answer within " + std::to_string(stall.count()) + " s");
                dropPending(p);
            }
            result.failed += count - started; // never tried
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
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
        m_poller.wait(static_cast<int>(left.count()) + 1, [&](uint64_t key, uint32_t) {
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
    for (Pending &p : m_pending) {
        if (p.fd >= 0)
            ::close(p.fd);
    }
    m_pending.clear();
}
