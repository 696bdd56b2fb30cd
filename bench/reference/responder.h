#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The smallest server that speaks the getpublicip part of the control protocol: one thread, one
// level-triggered epoll set, nonblocking sockets. It is the ceiling the benchmark compares the
// real service against, so it does nothing beyond framing lines and answering.
class Responder
{
public:
    explicit Responder(uint16_t port);
    ~Responder();
    Responder(const Responder &) = delete;
    Responder &operator=(const Responder &) = delete;

    // Binds all IPv4 addresses; false (with a message on stderr) when that fails.
    bool listen();
    // Serves until SIGINT or SIGTERM; returns the process exit code.
    int run();

private:
    struct Client
    {
        int fd = -1;
        std::string reply; // "Public IP <peer>\r\n", fixed at accept
        std::string in;
        std::string out;
        size_t out_pos = 0;
        bool discarding = false; // inside a line longer than the cap, dropped up to its LF
        bool reading = true;     // false while too much output waits
        uint32_t interest = 0;   // events registered with epoll
    };

    void onListenerReady();
    void onClientReady(int fd, uint32_t events);
    bool readFrom(Client &client);
    void handleLines(Client &client);
    void handleLine(Client &client, const std::string &line);
    bool flush(Client &client);
    void updateInterest(Client &client);
    void closeClient(int fd);
    void pauseAccepting();
    void resumeAccepting();

    uint16_t m_port;
    int m_epoll_fd = -1;
    int m_listen_fd = -1;
    int m_signal_fd = -1;
    bool m_accept_paused = false;
    std::vector<std::unique_ptr<Client>> m_clients; // indexed by descriptor
};
