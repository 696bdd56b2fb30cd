#pragma once

#include "errors.h"
#include "linereader.h"
#include "poller.h"

#include <cstdint>
#include <netinet/in.h>

// One connection on its way to its first answer: connects, asks getpublicip once and checks
// that the answer names loopback, moved on by the readiness its poller reports.
class IpQuery
{
public:
    enum class Step { Waiting, Answered, Failed };

    // Starts connecting to target, watched by poller under key; false (counted in errors) when
    // the connect failed at once.
    bool start(const sockaddr_in &target, Poller &poller, uint64_t key, Errors &errors);
    // Handles the events the poller reported; a failure is counted in errors.
    Step onReady(uint32_t events, Errors &errors);
    bool isActive() const { return m_fd >= 0; }
    // Hands the answered connection over, still in the poller; the query is idle again.
    int release();
    // Stops watching the connection and closes it, if there is one.
    void close();

private:
    Poller *m_poller = nullptr;
    uint64_t m_key = 0;
    int m_fd = -1;
    bool m_connected = false;
    LineReader m_reader;
};
