#include "net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace net {

static sockaddr_in ipv4(uint32_t host, uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(host);
    return addr;
}

sockaddr_in loopback(uint16_t port)
{
    return ipv4(INADDR_LOOPBACK, port);
}

int startConnect(const sockaddr_in &addr)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) < 0 &&
        errno != EINPROGRESS) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

int socketError(int fd)
{
    int err = 0;
    socklen_t len = sizeof(err);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
        return errno;
    return err;
}

void ackNow(int fd)
{
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof(on));
}

bool sendAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

ReadStatus readAvailable(int fd, LineReader &reader)
{
    char buf[16 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n > 0) {
            reader.append(buf, static_cast<size_t>(n));
            if (static_cast<size_t>(n) < sizeof(buf))
                return ReadStatus::Open;
            continue;
        }
        if (n == 0)
            return ReadStatus::Closed;
        if (errno == EINTR)
            continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? ReadStatus::Open : ReadStatus::Failed;
    }
}

static bool canBind(int type, uint16_t port)
{
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    if (type == SOCK_STREAM) {
        const int on = 1; // as a server would bind it, TIME_WAIT leftovers do not count
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    }
    const sockaddr_in addr = ipv4(INADDR_ANY, port);
    const bool ok = ::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) == 0;
    ::close(fd);
    return ok;
}

bool portIsFree(uint16_t port)
{
    return canBind(SOCK_STREAM, port) && canBind(SOCK_DGRAM, port);
}

uint16_t findFreePort(uint16_t from)
{
    for (uint32_t port = from; port <= 65535; ++port) {
        if (portIsFree(static_cast<uint16_t>(port)))
            return static_cast<uint16_t>(port);
    }
    return 0;
}

bool isListening(uint16_t port)
{
    std::ifstream table("/proc/net/tcp");
    std::string line;
    char wanted[8];
    std::snprintf(wanted, sizeof(wanted), ":%04X", port);
    std::getline(table, line); // header
    while (std::getline(table, line)) {
        // "  sl  local_address rem_address   st ..."
        char local[64] = {}, remote[64] = {}, state[8] = {};
        if (std::sscanf(line.c_str(), "%*s %63s %63s %7s", local, remote, state) != 3)
            continue;
        const size_t len = std::strlen(local);
        if (len > 5 && std::strcmp(local + len - 5, wanted) == 0 && std::strcmp(state, "0A") == 0)
            return true;
    }
    return false;
}

double microseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

int millisecondsUntil(Clock::time_point end, Clock::time_point now)
{
    return static_cast<int>(
               std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count()) +
           1;
}

} // namespace net
