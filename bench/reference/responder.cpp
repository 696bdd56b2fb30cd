#include "responder.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t LineCap = 64 * 1024;
constexpr size_t OutputCap = 1024 * 1024;
constexpr int AcceptRetryMs = 100;

// Letters, digits and underscore of Latin-1: what the service's command word is made of.
bool isWordByte(unsigned char c)
{
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_')
        return true;
    if (c == 0xAA || c == 0xB2 || c == 0xB3 || c == 0xB5 || c == 0xB9 || c == 0xBA)
        return true;
    if (c >= 0xBC && c <= 0xBE)
        return true;
    return c >= 0xC0 && c != 0xD7 && c != 0xF7;
}

bool isGetPublicIp(const std::string &line)
{
    static const char word[] = "getpublicip";
    constexpr size_t len = sizeof(word) - 1;
    size_t end = 0;
    while (end < line.size() && isWordByte(static_cast<unsigned char>(line[end])))
        ++end;
    if (end != len)
        return false;
    for (size_t i = 0; i < len; ++i) {
        const char c = line[i];
        const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != word[i])
            return false;
    }
    return true;
}

void logErrno(const char *what)
{
    std::fprintf(stderr, "vx-bench-reference: %s: %s\n", what, std::strerror(errno));
}

} // namespace

Responder::Responder(uint16_t port) : m_port(port) {}

Responder::~Responder()
{
    for (auto &client : m_clients) {
        if (client)
            ::close(client->fd);
    }
    for (int fd : {m_listen_fd, m_signal_fd, m_epoll_fd}) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool Responder::listen()
{
    m_epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
    m_listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_epoll_fd < 0 || m_listen_fd < 0) {
        logErrno("socket");
        return false;
    }
    const int on = 1;
    ::setsockopt(m_listen_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(m_port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(m_listen_fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0 ||
        ::listen(m_listen_fd, SOMAXCONN) < 0) {
        logErrno("bind/listen");
        return false;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = m_listen_fd;
    ::epoll_ctl(m_epoll_fd, EPOLL_CTL_ADD, m_listen_fd, &ev);

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &signals, nullptr);
    m_signal_fd = ::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    ev.data.fd = m_signal_fd;
    ::epoll_ctl(m_epoll_fd, EPOLL_CTL_ADD, m_signal_fd, &ev);
    // A peer that vanishes while we write must not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

int Responder::run()
{
    constexpr int MaxEvents = 256;
    epoll_event events[MaxEvents];
    for (;;) {
        const int timeout = m_accept_paused ? AcceptRetryMs : -1;
        const int n = ::epoll_wait(m_epoll_fd, events, MaxEvents, timeout);
        if (n < 0 && errno != EINTR) {
            logErrno("epoll_wait");
            return 1;
        }
        if (n == 0 && m_accept_paused)
            resumeAccepting();
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == m_signal_fd)
                return 0;
            if (fd == m_listen_fd)
                onListenerReady();
            else
                onClientReady(fd, events[i].events);
        }
    }
}

void Responder::onListenerReady()
{
    for (;;) {
        sockaddr_in peer{};
        socklen_t len = sizeof(peer);
        const int fd = ::accept4(m_listen_fd, reinterpret_cast<sockaddr *>(&peer), &len,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                pauseAccepting();
            else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                     errno != ECONNABORTED)
                logErrno("accept");
            return;
        }
        auto client = std::make_unique<Client>();
        client->fd = fd;
        client->interest = EPOLLIN | EPOLLRDHUP;
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text));
        client->reply = std::string("Public IP ") + text + "\r\n";
        if (m_clients.size() <= static_cast<size_t>(fd))
            m_clients.resize(static_cast<size_t>(fd) + 1);
        m_clients[static_cast<size_t>(fd)] = std::move(client);
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.fd = fd;
        ::epoll_ctl(m_epoll_fd, EPOLL_CTL_ADD, fd, &ev);
    }
}

void Responder::onClientReady(int fd, uint32_t events)
{
    Client *client = static_cast<size_t>(fd) < m_clients.size() ? m_clients[fd].get() : nullptr;
    if (!client)
        return;
    if (events & (EPOLLERR | EPOLLHUP)) {
        closeClient(fd);
        return;
    }
    if ((events & EPOLLOUT) && !flush(*client)) {
        closeClient(fd);
        return;
    }
    if ((events & (EPOLLIN | EPOLLRDHUP)) && client->reading && !readFrom(*client)) {
        closeClient(fd);
        return;
    }
    updateInterest(*client);
}

// Reads what is there, answers complete lines; false once the peer has closed or failed.
bool Responder::readFrom(Client &client)
{
    char buf[64 * 1024];
    const ssize_t n = ::read(client.fd, buf, sizeof(buf));
    if (n == 0)
        return false;
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    client.in.append(buf, static_cast<size_t>(n));
    handleLines(client);
    return flush(client);
}

void Responder::handleLines(Client &client)
{
    size_t start = 0;
    for (;;) {
        const size_t lf = client.in.find('\n', start);
        if (lf == std::string::npos)
            break;
        if (!client.discarding) {
            size_t end = lf;
            if (end > start && client.in[end - 1] == '\r')
                --end;
            handleLine(client, client.in.substr(start, end - start));
        }
        client.discarding = false;
        start = lf + 1;
    }
    client.in.erase(0, start);
    // An endless line would otherwise grow without bound; drop it up to its LF.
    if (client.in.size() > LineCap) {
        client.in.clear();
        client.discarding = true;
    }
}

void Responder::handleLine(Client &client, const std::string &line)
{
    if (isGetPublicIp(line))
        client.out += client.reply;
}

// Writes pending output; false when the connection is broken.
bool Responder::flush(Client &client)
{
    while (client.out_pos < client.out.size()) {
        const ssize_t n = ::send(client.fd, client.out.data() + client.out_pos,
                                 client.out.size() - client.out_pos, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            return false;
        }
        client.out_pos += static_cast<size_t>(n);
    }
    if (client.out_pos == client.out.size()) {
        client.out.clear();
        client.out_pos = 0;
    } else if (client.out_pos > OutputCap) {
        client.out.erase(0, client.out_pos);
        client.out_pos = 0;
    }
    return true;
}

// A client that sends without reading stops being read until its replies drain.
void Responder::updateInterest(Client &client)
{
    const size_t pending = client.out.size() - client.out_pos;
    const bool reading = pending <= OutputCap;
    const uint32_t interest = (reading ? EPOLLIN | EPOLLRDHUP : 0u) | (pending > 0 ? EPOLLOUT : 0u);
    client.reading = reading;
    if (interest == client.interest)
        return;
    epoll_event ev{};
    ev.events = interest;
    ev.data.fd = client.fd;
    ::epoll_ctl(m_epoll_fd, EPOLL_CTL_MOD, client.fd, &ev);
    client.interest = interest;
}

void Responder::closeClient(int fd)
{
    ::epoll_ctl(m_epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    m_clients[static_cast<size_t>(fd)].reset();
    if (m_accept_paused)
        resumeAccepting();
}

// Out of descriptors: stop listening for a while instead of spinning on a ready listener.
void Responder::pauseAccepting()
{
    if (m_accept_paused)
        return;
    epoll_event ev{};
    ev.data.fd = m_listen_fd;
    ::epoll_ctl(m_epoll_fd, EPOLL_CTL_MOD, m_listen_fd, &ev);
    m_accept_paused = true;
}

void Responder::resumeAccepting()
{
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = m_listen_fd;
    ::epoll_ctl(m_epoll_fd, EPOLL_CTL_MOD, m_listen_fd, &ev);
    m_accept_paused = false;
}
