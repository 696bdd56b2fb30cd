#pragma once

#include "errors.h"
#include "ipquery.h"
#include "poller.h"

#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <vector>

// Opens control connections and keeps them: each new connection asks getpublicip once and
// counts as open only when the right answer came back, so a connection the server accepted
// but never served is not counted.
class ConnectionPool
{
public:
    struct OpenResult
    {
        int answered = 0;
        Errors failed;      // refused, reset, wrong answer or no answer before the stall limit
        double seconds = 0; // from the first connect to the last answer
    };

    explicit ConnectionPool(uint16_t port);
    ~ConnectionPool();

    // Opens count more connections with at most window of them unanswered at a time; gives up
    // when no connection got its answer for stall.
    OpenResult open(int count, int window, std::chrono::seconds stall);
    // Sits for the given time without sending; returns how many connections got data or were
    // closed by the server meanwhile (all of them should stay quiet).
    int stayIdle(std::chrono::milliseconds duration);
    // Hands the open connections over (the pool forgets them; the caller closes them).
    std::vector<int> takeDescriptors();
    void closeAll();

private:
    bool startOne(Errors &errors);
    void keep(int fd);

    sockaddr_in m_target;
    Poller m_poller;
    std::vector<int> m_open;
    std::vector<IpQuery> m_pending;
};
