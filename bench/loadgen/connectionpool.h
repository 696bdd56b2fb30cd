#pragma once

#include "linereader.h"
#include "poller.h"

#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <string>
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
        int failed = 0;     // refused, reset, wrong answer or no answer before the stall limit
        double seconds = 0; // from the first connect to the last answer
        std::string firstError;
    };

    explicit ConnectionPool(uint16_t port);
    ~ConnectionPool();
    ConnectionPool(const ConnectionPool &) = delete;
    ConnectionPool &operator=(const ConnectionPool &) = delete;

    // Opens count more connections with at most window of them unanswered at a time; gives up
    // when no connection got its answer for stall.
    OpenResult open(int count, int window, std::chrono::seconds stall);
    // Sits for the given time without sending; returns how many connections got data or were
    // closed by the server meanwhile (all of them should stay quiet).
    int stayIdle(std::chrono::milliseconds duration);
    size_t size() const { return m_open.size(); }
    // Hands the open connections over (the pool forgets them; the caller closes them).
    std::vector<int> takeDescriptors();
    void closeAll();

private:
    struct Pending
    {
        int fd = -1;
        bool connected = false;
        LineReader reader;
    };

    enum class Step { Waiting, Answered, Failed };

    bool startOne(OpenResult &result);
    Step onPendingReady(size_t index, uint32_t events, OpenResult &result);
    void dropPending(Pending &p);
    void fail(OpenResult &result, const std::string &why);

    sockaddr_in m_target;
    std::string m_expected;
    Poller m_poller;
    std::vector<int> m_open;
    std::vector<Pending> m_pending;
};
