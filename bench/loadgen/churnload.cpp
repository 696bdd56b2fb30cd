#include "churnload.h"

#include "net.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {
const std::string Expected = "Public IP 127.0.0.1";
// With no cycle completing, this many errors mean the server is not there any more.
constexpr long ErrorLimit = 10000;
} // namespace

ChurnLoad::ChurnLoad(uint16_t port) : m_target(net::loopback(port)) {}

ChurnLoad::~ChurnLoad()
{
    for (Slot &slot : m_slots)
        closeSlot(slot);
}

void ChurnLoad::error(Result &result, const std::string &why)
{
    ++result.errors;
    if (result.first_error.empty())
        result.first_error = why;
}

void ChurnLoad::closeSlot(Slot &slot)
{
    if (slot.fd < 0)
        return;
    m_poller.remove(slot.fd);
    ::close(slot.fd);
    slot.fd = -1;
}

void ChurnLoad::restart(size_t index, Result &result)
{
    Slot &slot = m_slots[index];
    closeSlot(slot);
    slot.connected = false;
    slot.reader.clear();
    slot.fd = net::startConnect(m_target);
    if (slot.fd < 0) {
        error(result, std::string("connect: ") + std::strerror(errno));
        return;
    }
    m_poller.add(slot.fd, EPOLLOUT, index);
}

bool ChurnLoad::onReady(size_t index, uint32_t events, Result &result)
{
    Slot &slot = m_slots[index];
    if (!slot.connected) {
        const int err = net::socketError(slot.fd);
        if (err != 0 || (events & (EPOLLERR | EPOLLHUP))) {
            error(result, std::string("connect: ") + std::strerror(err ? err : ECONNRESET));
            return true;
        }
        slot.connected = true;
        if (!net::sendAll(slot.fd, "getpublicip\n")) {
            error(result, std::string("send: ") + std::strerror(errno));
            return true;
        }
        return !m_poller.modify(slot.fd, EPOLLIN | EPOLLRDHUP, index);
    }
    const net::ReadStatus status = net::readAvailable(slot.fd, slot.reader);
    std::string line;
    if (slot.reader.next(line)) {
        if (line == Expected)
            ++result.cycles;
        else
            error(result, "wrong answer: '" + line + "'");
        return true;
    }
    if (status != net::ReadStatus::Open) {
        error(result, "closed by the server before answering");
        return true;
    }
    return false;
}

ChurnLoad::Result ChurnLoad::run(int concurrency, std::chrono::milliseconds measure)
{
    Result result;
    m_slots.assign(static_cast<size_t>(concurrency), Slot{});
    for (size_t i = 0; i < m_slots.size(); ++i)
        restart(i, result);
    const auto end = net::Clock::now() + measure;
    for (auto now = net::Clock::now(); now < end; now = net::Clock::now()) {
        if (result.cycles == 0 && result.errors > ErrorLimit)
            break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
        m_poller.wait(static_cast<int>(std::min<long>(left.count() + 1, 10)),
                      [&](uint64_t key, uint32_t events) {
                          if (m_slots[key].fd >= 0 && onReady(key, events, result))
                              restart(key, result);
                      });
        // Slots whose connect failed at once are retried on the next round.
        for (size_t i = 0; i < m_slots.size(); ++i) {
            if (m_slots[i].fd < 0)
                restart(i, result);
        }
    }
    result.per_second =
        static_cast<double>(result.cycles) / std::chrono::duration<double>(measure).count();
    return result;
}
