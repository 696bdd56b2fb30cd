#pragma once

#include "linereader.h"
#include "net.h"
#include "poller.h"

#include <chrono>
#include <string>
#include <vector>

// getpublicip as fast as the answers come: every connection keeps exactly one request
// outstanding and sends the next one the moment its answer is in.
class IpLoad
{
public:
    struct Result
    {
        long answers = 0; // received inside the measured window
        double per_second = 0;
        double p50_us = -1;
        double p99_us = -1;
        long errors = 0;
        std::string first_error;
    };

    // connections: open control connections; the load closes them when it is destroyed.
    explicit IpLoad(std::vector<int> connections);
    ~IpLoad();
    IpLoad(const IpLoad &) = delete;
    IpLoad &operator=(const IpLoad &) = delete;

    Result run(std::chrono::milliseconds warmup, std::chrono::milliseconds measure);

private:
    struct Connection
    {
        int fd = -1;
        LineReader reader;
        net::Clock::time_point sent_at;
    };

    void fail(Connection &c, Result &result, const std::string &why);

    Poller m_poller;
    std::vector<Connection> m_connections;
};
