#include "ipquery.h"

#include "net.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

bool IpQuery::start(const sockaddr_in &target, Poller &poller, uint64_t key, Errors &errors)
{
    m_poller = &poller;
    m_key = key;
    m_connected = false;
    m_reader.clear();
    m_fd = net::startConnect(target);
    if (m_fd < 0) {
        errors.add(std::string("connect: ") + std::strerror(errno));
        return false;
    }
    m_poller->add(m_fd, EPOLLOUT, m_key);
    return true;
}

IpQuery::Step IpQuery::onReady(uint32_t events, Errors &errors)
{
    if (!m_connected) {
        const int err = net::socketError(m_fd);
        if (err != 0 || (events & (EPOLLERR | EPOLLHUP))) {
            errors.add(std::string("connect: ") + std::strerror(err ? err : ECONNRESET));
            return Step::Failed;
        }
        m_connected = true;
        if (!net::sendAll(m_fd, net::IpRequest)) {
            errors.add(std::string("send: ") + std::strerror(errno));
            return Step::Failed;
        }
        if (!m_poller->modify(m_fd, EPOLLIN | EPOLLRDHUP, m_key)) {
            errors.add(std::string("epoll: ") + std::strerror(errno));
            return Step::Failed;
        }
        return Step::Waiting;
    }
    const net::ReadStatus status = net::readAvailable(m_fd, m_reader);
    std::string line;
    if (m_reader.next(line)) {
        if (line == net::IpAnswer)
            return Step::Answered;
        errors.add("wrong answer: '" + line + "'");
        return Step::Failed;
    }
    if (status == net::ReadStatus::Open)
        return Step::Waiting;
    errors.add("closed by the server before answering");
    return Step::Failed;
}

int IpQuery::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void IpQuery::close()
{
    if (m_fd < 0)
        return;
    m_poller->remove(m_fd);
    ::close(m_fd);
    m_fd = -1;
}
