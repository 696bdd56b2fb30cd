#pragma once

#include "controlconnections.h"
#include "linereader.h"
#include "loadresult.h"
#include "net.h"

#include <chrono>
#include <vector>

// getpublicip as fast as the answers come: every connection keeps exactly one request
// outstanding and sends the next one the moment its answer is in.
class IpLoad
{
public:
    // done: answers received inside the measured window.
    struct Result : LoadResult
    {
        double p50_us = -1;
        double p99_us = -1;
    };

    // connections: open control connections; the load closes them when it is destroyed.
    explicit IpLoad(const std::vector<int> &connections);

    Result run(std::chrono::milliseconds warmup, std::chrono::milliseconds measure);

private:
    struct Connection
    {
        int fd = -1;
        LineReader reader;
        net::Clock::time_point sent_at;
    };

    void ask(Connection &c, net::Clock::time_point now, Errors &errors);

    ControlConnections<Connection> m_connections;
};
