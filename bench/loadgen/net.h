#pragma once

#include "linereader.h"

#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <string_view>

// Socket helpers shared by the load phases. Every descriptor is nonblocking and close-on-exec.
namespace net {

using Clock = std::chrono::steady_clock;

// The request every getpublicip load sends, and the answer a client on loopback must get.
constexpr std::string_view IpRequest = "getpublicip\n";
constexpr std::string_view IpAnswer = "Public IP 127.0.0.1";

sockaddr_in loopback(uint16_t port);

// Starts a TCP connect (no Nagle delay on our side); the descriptor, or -1 (errno set) when it
// failed at once.
int startConnect(const sockaddr_in &addr);
// The pending error of a socket whose connect has finished (0: connected).
int socketError(int fd);
// Acknowledges what has arrived at once instead of after the delayed-ACK timer.
void ackNow(int fd);
// Writes all of data; false when the socket is broken or its send buffer is full.
bool sendAll(int fd, std::string_view data);

enum class ReadStatus { Open, Closed, Failed };
// Reads everything that is there into reader.
ReadStatus readAvailable(int fd, LineReader &reader);

// Whether nothing holds the port on all IPv4 addresses, for TCP and for UDP.
bool portIsFree(uint16_t port);
// The first free port at or above from, or 0.
uint16_t findFreePort(uint16_t from);
// Whether some socket listens on the TCP port (from /proc/net/tcp).
bool isListening(uint16_t port);

double microseconds(Clock::duration d);
// A poll timeout that reaches end from now: the whole milliseconds left, plus one.
int millisecondsUntil(Clock::time_point end, Clock::time_point now);

} // namespace net
