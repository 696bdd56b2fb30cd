#pragma once

#include "linereader.h"
#include "poller.h"

#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <vector>

// Short-lived clients: connect, ask getpublicip, read the answer, close; a fixed number of them
// in flight, each replaced as soon as it is done.
class ChurnLoad
{
public:
    struct Result
    {
        long cycles = 0; // completed inside the measured window
        double per_second = 0;
        long errors = 0;
        std::string first_error;
    };

    explicit ChurnLoad(uint16_t port);
    ~ChurnLoad();
    ChurnLoad(const ChurnLoad &) = delete;
    ChurnLoad &operator=(const ChurnLoad &) = delete;

    Result run(int concurrency, std::chrono::milliseconds measure);

private:
    struct Slot
    {
        int fd = -1;
        bool connected = false;
        LineReader reader;
    };

    // Replaces whatever the slot held by a fresh connection attempt.
    void restart(size_t index, Result &result);
    // Handles readiness; true when the slot's cycle is over (done or failed).
    bool onReady(size_t index, uint32_t events, Result &result);
    void error(Result &result, const std::string &why);
    void closeSlot(Slot &slot);

    sockaddr_in m_target;
    Poller m_poller;
    std::vector<Slot> m_slots;
};
