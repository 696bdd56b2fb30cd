#pragma once

#include "errors.h"
#include "linereader.h"
#include "net.h"
#include "poller.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

// The open control connections a load drives: each is watched under its index, read line by
// line as data comes, and closed when it fails or when the load ends. Connection is the load's
// own record of a connection and has at least an int fd and a LineReader reader.
template<class Connection> class ControlConnections
{
public:
    // quick_ack: acknowledge control data at once rather than as a usual client does.
    explicit ControlConnections(const std::vector<int> &fds, bool quick_ack = false)
        : m_connections(fds.size()), m_quick_ack(quick_ack)
    {
        for (size_t i = 0; i < fds.size(); ++i) {
            m_connections[i].fd = fds[i];
            m_poller.add(fds[i], EPOLLIN | EPOLLRDHUP, i);
        }
    }
    ~ControlConnections()
    {
        for (Connection &c : m_connections) {
            if (c.fd >= 0)
                ::close(c.fd);
        }
    }
    ControlConnections(const ControlConnections &) = delete;
    ControlConnections &operator=(const ControlConnections &) = delete;

    auto begin() { return m_connections.begin(); }
    auto end() { return m_connections.end(); }

    // Waits up to timeout_ms and calls handler(connection) for each open one that is ready.
    template<class Handler> void wait(int timeout_ms, Handler &&handler)
    {
        m_poller.wait(timeout_ms, [&](uint64_t key, uint32_t) {
            Connection &c = m_connections[key];
            if (c.fd >= 0)
                handler(c);
        });
    }

    // Reads what has arrived and hands each complete line to onLine(line) while c stays open;
    // c fails when the server has closed it. Whether c is still open.
    template<class OnLine> bool readLines(Connection &c, Errors &errors, OnLine &&onLine)
    {
        const net::ReadStatus status = net::readAvailable(c.fd, c.reader);
        if (m_quick_ack)
            net::ackNow(c.fd);
        while (c.fd >= 0 && c.reader.next(m_line))
            onLine(m_line);
        if (c.fd >= 0 && status != net::ReadStatus::Open)
            fail(c, errors, "closed by the server");
        return c.fd >= 0;
    }

    // Whether all of data went out; c fails otherwise.
    bool send(Connection &c, std::string_view data, Errors &errors)
    {
        if (net::sendAll(c.fd, data))
            return true;
        fail(c, errors, std::string("send: ") + std::strerror(errno));
        return false;
    }

    void fail(Connection &c, Errors &errors, const std::string &why)
    {
        errors.add(why);
        m_poller.remove(c.fd);
        ::close(c.fd);
        c.fd = -1;
    }

private:
    Poller m_poller;
    std::vector<Connection> m_connections;
    std::string m_line; // reused, so that reading allocates nothing
    bool m_quick_ack;
};
