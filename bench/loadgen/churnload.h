#pragma once

#include "ipquery.h"
#include "loadresult.h"
#include "poller.h"

#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <vector>

// Short-lived clients: connect, ask getpublicip, read the answer, close; a fixed number of them
// in flight, each replaced as soon as it is done.
class ChurnLoad
{
public:
    // done: connect+ask+close cycles completed inside the measured window.
    using Result = LoadResult;

    explicit ChurnLoad(uint16_t port);
    ~ChurnLoad();

    Result run(int concurrency, std::chrono::milliseconds measure);

private:
    // Replaces whatever the query held by a fresh connection attempt.
    void restart(size_t index, Result &result);

    sockaddr_in m_target;
    Poller m_poller;
    std::vector<IpQuery> m_queries;
};
