#pragma once

#include <QLatin1StringView>
#include <QString>
#include <QtGlobal>

#include <optional>

// The control connection's words, numbers and lines. The server, the port test and the client
// tool write and read the protocol only through these, so the two ends cannot drift apart.
namespace ControlProtocol {

// The port the service listens on unless told otherwise.
inline constexpr quint16 DefaultPort = 32889;
// A test's time limit when the request names none; shorter limits asked for are raised to the
// minimum.
inline constexpr int DefaultTimeLimitMs = 5000;
inline constexpr int MinimumTimeLimitMs = 100;
// Longest line either end takes, line feed included: a peer that sends more without a line feed
// is no tester, and must not grow a buffer without bound.
inline constexpr qsizetype MaxLineLength = 64 * 1024;

// The command words, and the start of the answer to "getpublicip".
inline constexpr QLatin1StringView GetPublicIpWord("getpublicip");
inline constexpr QLatin1StringView TestPortWord("testport");
inline constexpr QLatin1StringView PortTestingWord("porttesting");
inline constexpr QLatin1StringView PublicIpPrefix("Public IP ");
// The answer to a "testport" beyond the rate the service allows one address (when it limits
// one): "ratelimited 12", the whole seconds until the next test will be taken.
inline constexpr QLatin1StringView RateLimitedWord("ratelimited");
// What ends every line on the wire, exactly once.
inline constexpr QLatin1StringView LineEnd("\r\n");

enum Protocol { Tcp = 0, Udp = 1 };
// Seen from the side that runs the test: "in" listens or binds and waits, "out" connects or
// pings.
enum Direction { In = 0, Out = 1 };
enum class Result { Success, Failure, Timeout };

QString protocolName(Protocol protocol);
QString directionName(Direction direction);
QString resultName(Result result);
// The names read back, in any letter case, from text a pattern has matched: what is not "tcp"
// is "udp", what is not "out" is "in".
Protocol protocolNamed(QStringView name);
Direction directionNamed(QStringView name);
// The direction of the peer's half of a test.
Direction opposite(Direction direction);

// "porttesting in tcp 80": the test runs, the peer may act.
QString goLine(Direction direction, Protocol protocol, int port);
// "porttesting in tcp 80 success"
QString resultLine(Direction direction, Protocol protocol, int port, Result result);
// "testport out tcp 80 5000": asks the peer to run the test in that direction.
QString testPortLine(Direction direction, Protocol protocol, int port, int timeLimitMs);
// "Public IP 192.0.2.7"
QString publicIpLine(const QString &address);
// "ratelimited 12"
QString rateLimitedLine(int seconds);
// The seconds of a "ratelimited" line (any letter case, blanks around), or none when the line
// is no such line.
std::optional<int> rateLimitedSeconds(QStringView line);

// The line as it goes on the wire: its bytes (every line of the protocol is ASCII; read back as
// Latin-1), ending in exactly one LineEnd whether or not the line had it.
QByteArray wireLine(QStringView line);

} // namespace ControlProtocol
