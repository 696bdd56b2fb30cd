#include "poller.h"

#include <cerrno>
#include <unistd.h>

Poller::Poller() : m_fd(::epoll_create1(EPOLL_CLOEXEC)), m_events(1024) {}

Poller::~Poller()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool Poller::add(int fd, uint32_t events, uint64_t key)
{
    return control(EPOLL_CTL_ADD, fd, events, key);
}

bool Poller::modify(int fd, uint32_t events, uint64_t key)
{
    return control(EPOLL_CTL_MOD, fd, events, key);
}

bool Poller::control(int op, int fd, uint32_t events, uint64_t key)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = key;
    return ::epoll_ctl(m_fd, op, fd, &ev) == 0;
}

void Poller::remove(int fd)
{
    ::epoll_ctl(m_fd, EPOLL_CTL_DEL, fd, nullptr);
}

int Poller::waitRaw(int timeout_ms)
{
    const int n =
        ::epoll_wait(m_fd, m_events.data(), static_cast<int>(m_events.size()), timeout_ms);
    return n < 0 ? 0 : n; // EINTR counts as nothing ready
}
