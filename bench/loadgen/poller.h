#pragma once

#include <cstdint>
#include <sys/epoll.h>
#include <vector>

// A thin epoll set: descriptors are registered with a 64-bit key the caller chooses, and wait()
// hands back (key, events) pairs. Level-triggered throughout.
class Poller
{
public:
    Poller();
    ~Poller();
    Poller(const Poller &) = delete;
    Poller &operator=(const Poller &) = delete;

    bool add(int fd, uint32_t events, uint64_t key);
    bool modify(int fd, uint32_t events, uint64_t key);
    void remove(int fd);

    // Waits up to timeout_ms (-1: forever) and calls handler(key, events) for each ready
    // descriptor; returns how many were ready.
    template<class Handler> int wait(int timeout_ms, Handler &&handler)
    {
        const int n = waitRaw(timeout_ms);
        for (int i = 0; i < n; ++i)
            handler(m_events[static_cast<size_t>(i)].data.u64,
                    m_events[static_cast<size_t>(i)].events);
        return n;
    }

private:
    bool control(int op, int fd, uint32_t events, uint64_t key);
    int waitRaw(int timeout_ms);

    int m_fd = -1;
    std::vector<epoll_event> m_events;
};
