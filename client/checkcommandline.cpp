#include "client/checkcommandline.h"

#include "client/portlist.h"
#include "protocol/controlprotocol.h"

#include <QHostAddress>

#include <optional>
#include <utility>

using namespace Qt::StringLiterals;

namespace {
constexpr int maximumTimeout = 3600000;

bool isCheckWord(const QString &word)
{
    return word == u"tcp"_s || word == u"udp"_s;
}

QString familyName(QAbstractSocket::NetworkLayerProtocol family)
{
    return family == QAbstractSocket::IPv6Protocol ? u"IPv6"_s : u"IPv4"_s;
}
} // namespace

bool CheckCommandLine::parse(const QStringList &arguments)
{
    Options options;
    QStringList positional;
    if (!readOptions(arguments, options, positional))
        return false;
    m_help = options.contains(u"--help"_s);
    m_version = options.contains(u"--version"_s);
    if (m_help || m_version)
        return true;
    m_json = options.contains(u"--json"_s);
    m_verbose = options.contains(u"--verbose"_s);
    const QString direction = options.value(u"--direction"_s, u"both"_s);
    if (!parsePortOption(
            options.value(u"--port"_s, QString::number(ControlProtocol::DefaultPort))) ||
        !parseServer(options.value(u"--server"_s, u"127.0.0.1"_s), options.contains(u"-4"_s),
                     options.contains(u"-6"_s), options.contains(u"--port"_s)) ||
        !parseTimeout(
            options.value(u"--timeout"_s, QString::number(ControlProtocol::DefaultTimeLimitMs))) ||
        !parseDirection(direction) || !parseCommand(positional))
        return false;
    if (m_command == Command::Ip && options.contains(u"--direction"_s))
        return usageError(u"--direction applies to tcp and udp checks only"_s);
    return true;
}

// "--name value", "--name=value" or a flag; the last of a repeated option counts. After "--",
// and for anything not starting with '-', the arguments are the command.
bool CheckCommandLine::readOptions(const QStringList &arguments, Options &options,
                                   QStringList &positional)
{
    static const QStringList withValue{u"--server"_s, u"--port"_s, u"--timeout"_s,
                                       u"--direction"_s};
    static const QStringList flags{u"-4"_s,     u"-6"_s, u"--json"_s,   u"--verbose"_s,
                                   u"--help"_s, u"-h"_s, u"--version"_s};
    bool optionsEnded = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (optionsEnded || !argument.startsWith(u'-') || argument == u"-"_s) {
            positional.append(argument);
            continue;
        }
        if (argument == u"--"_s) {
            optionsEnded = true;
            continue;
        }
        const qsizetype equals = argument.indexOf(u'=');
        const QString name = argument.left(equals);
        if (flags.contains(name)) {
            if (equals >= 0)
                return usageError(u"option '%1' takes no value"_s.arg(name));
            options.insert(name == u"-h"_s ? u"--help"_s : name, QString());
        } else if (!withValue.contains(name)) {
            return usageError(u"unknown option '%1'"_s.arg(name));
        } else if (equals >= 0) {
            options.insert(name, argument.mid(equals + 1));
        } else if (i + 1 < arguments.size()) {
            options.insert(name, arguments.at(++i));
        } else {
            return usageError(u"option '%1' needs a value"_s.arg(name));
        }
    }
    return true;
}

bool CheckCommandLine::parseCommand(const QStringList &positional)
{
    if (positional.isEmpty())
        return usageError(u"missing command: ip, tcp or udp"_s);
    const QString command = positional.first();
    if (command == u"ip"_s) {
        m_command = Command::Ip;
        if (positional.size() > 1)
            return usageError(u"ip takes no further arguments"_s);
        return true;
    }
    if (!isCheckWord(command))
        return usageError(u"unknown command '%1': use ip, tcp or udp"_s.arg(command));
    m_command = Command::Check;
    // "tcp 80,443 udp 53": every tcp or udp starts a group of its own.
    qsizetype start = 0;
    for (qsizetype i = 1; i <= positional.size(); ++i) {
        if (i < positional.size() && !isCheckWord(positional.at(i)))
            continue;
        if (!parseGroup(positional.at(start), positional.mid(start + 1, i - start - 1)))
            return false;
        start = i;
    }
    return true;
}

bool CheckCommandLine::parseGroup(const QString &command, const QStringList &ports)
{
    if (ports.isEmpty())
        return usageError(u"%1 needs the ports to check, e.g. 80,443,8000-8010"_s.arg(command));
    // "tcp 80 443" reads as "tcp 80,443".
    QList<quint16> parsed;
    QString error;
    if (!PortList::parse(ports.join(u','), parsed, error))
        return usageError(error);
    const ControlProtocol::Protocol protocol = ControlProtocol::protocolNamed(command);
    for (quint16 port : std::as_const(parsed)) {
        // Named again in a later group of the same protocol, a port is still checked once.
        if (!m_targets.contains(Target{protocol, port}))
            m_targets.append({protocol, port});
    }
    return true;
}

bool CheckCommandLine::parseServer(const QString &text, bool ipv4, bool ipv6, bool portGiven)
{
    using enum QAbstractSocket::NetworkLayerProtocol;
    if (ipv4 && ipv6)
        return usageError(u"-4 and -6 exclude each other"_s);
    m_family = ipv4 ? IPv4Protocol : (ipv6 ? IPv6Protocol : AnyIPProtocol);
    // "[2001:db8::5]:32889" and "host:32889" as in URLs; a bare IPv6 address has no port.
    m_server = text.trimmed();
    const qsizetype colon = m_server.startsWith(u'[')   ? m_server.indexOf(u"]:"_s) + 1
                            : m_server.count(u':') == 1 ? m_server.indexOf(u':')
                                                        : -1;
    const std::optional<QString> port =
        colon > 0 ? std::optional(m_server.mid(colon + 1)) : std::nullopt;
    if (port)
        m_server.truncate(colon);
    if (m_server.startsWith(u'[') && m_server.endsWith(u']'))
        m_server = m_server.mid(1, m_server.size() - 2);
    if (m_server.isEmpty())
        return usageError(u"--server needs a host name or address"_s);
    const QHostAddress literal(m_server);
    if (m_server.contains(u'[') || m_server.contains(u']') ||
        (m_server.contains(u':') && literal.protocol() != IPv6Protocol))
        return usageError(u"--server: '%1' is not a host name or address"_s.arg(text));
    if (port && !parseServerPort(*port, portGiven))
        return false;
    if (literal.isNull() || m_family == AnyIPProtocol || literal.protocol() == m_family)
        return true;
    return usageError(u"--server: %1 is an %2 address, but %3 asks for %4"_s.arg(
        m_server, familyName(literal.protocol()), ipv4 ? u"-4"_s : u"-6"_s, familyName(m_family)));
}

bool CheckCommandLine::parseServerPort(const QString &text, bool portGiven)
{
    const quint16 given = m_port;
    if (!parsePortOption(text))
        return usageError(u"--server: '%1' is not a port number (1 to 65535)"_s.arg(text));
    if (portGiven && given != m_port)
        return usageError(u"--server names port %1, but --port %2"_s.arg(m_port).arg(given));
    return true;
}

bool CheckCommandLine::parsePortOption(const QString &text)
{
    QList<quint16> ports;
    QString error;
    if (text.contains(u',') || text.contains(u'-') || !PortList::parse(text, ports, error))
        return usageError(u"--port: '%1' is not a port number (1 to 65535)"_s.arg(text));
    m_port = ports.first();
    return true;
}

bool CheckCommandLine::parseTimeout(const QString &text)
{
    bool ok = false;
    m_timeout = text.toInt(&ok, 10);
    if (!ok || m_timeout < 1 || m_timeout > maximumTimeout)
        return usageError(
            u"--timeout: '%1' is not a time in milliseconds (1 to %2)"_s.arg(text).arg(
                maximumTimeout));
    return true;
}

bool CheckCommandLine::parseDirection(const QString &text)
{
    m_check_in = text == u"in"_s || text == u"both"_s;
    m_check_out = text == u"out"_s || text == u"both"_s;
    if (!m_check_in && !m_check_out)
        return usageError(u"--direction: '%1' is not in, out or both"_s.arg(text));
    return true;
}

bool CheckCommandLine::usageError(const QString &message)
{
    m_error = message;
    return false;
}

QString CheckCommandLine::protocolNames() const
{
    QStringList names;
    for (const Target &target : m_targets) {
        const QString name = ControlProtocol::protocolName(target.first);
        if (!names.contains(name))
            names.append(name);
    }
    return names.join(u',');
}

QList<PortCheck> CheckCommandLine::checks() const
{
    QList<PortCheck> checks;
    for (const auto &[protocol, port] : m_targets) {
        if (m_check_in)
            checks.append({protocol, port, ControlProtocol::In});
        if (m_check_out)
            checks.append({protocol, port, ControlProtocol::Out});
    }
    return checks;
}

QString CheckCommandLine::versionText()
{
    return u"vx-connectivity-check " VX_VERSION "\n"_s;
}

QString CheckCommandLine::helpText()
{
    return uR"(Usage: vx-connectivity-check [options] ip
       vx-connectivity-check [options] tcp|udp PORTS [tcp|udp PORTS ...]
                             [--direction in|out|both]

Asks a running VX Connectivity Tester how it sees this machine.

Where the tester runs decides what the answers mean: to learn whether the
internet can reach this machine, run the tester on a machine outside this
network (a small server elsewhere) and this client here. A tester on this
machine, in this network or behind the same provider's NAT proves nothing
about the internet; the output says so when the address it sees is not public.

Commands:
  ip            print the address under which the server sees this machine
  tcp PORTS     check TCP ports
  udp PORTS     check UDP ports
Groups follow each other in one call, e.g. "tcp 80,443 udp 53".

PORTS is a list of ports and ranges, e.g. 80,443,8000-8010; a port named
twice is checked once. Directions are seen from this machine:
  in            can the server reach this port here? This machine listens on
                (TCP) or binds (UDP) the port and waits; the server connects
                or sends pings to it.
  out           can this machine reach the port on the server? The server
                listens or binds; this machine connects or sends pings.
  both          in, then out, for every port (the default)
The checks run one after another over one control connection, over the
address family of that connection.

Options:
  --server HOST     the tester to ask: a host name, an IPv4 address or an IPv6
                    address (::1 or [::1]), optionally with its control port
                    (HOST:PORT, [::1]:PORT) (default 127.0.0.1)
  -4, -6            connect over IPv4 or IPv6 only, for a host name with both
  --port N          its control port (default %1)
  --timeout MS      time limit of each check at the server, and of connecting
                    to it and of its answers (default %2; the server raises
                    limits below %3 to %3)
  --direction DIR   in, out or both (default both)
  --json            print one JSON document instead of text
  --verbose         show the lines exchanged on stderr, "> " for sent and
                    "< " for received, and diagnostics after "# "
  --version         print the version
  -h, --help        show this help

Output:
  One line per finished check: protocol, port, direction with its way in
  words ("tester to here" for in, "here to tester" for out), result, the
  time from the tester's go line to the evidence (for UDP without the 50 ms
  before the first ping) and, where it helps, why, with what to check. A
  summary follows, with the address the tester sees, its kind (public,
  loopback, private, shared, link-local, special), whether NAT is in the way
  (the tester sees an address this machine does not have), and a warning
  when the address is not public. "ip" prints the address alone on stdout
  and that warning on stderr. While checks run, a progress indicator is shown
  when standard output is a terminal (not with --verbose).
  Results:
    reachable     the connection or ping got through; for a tcp "in" check on
                  a port that a program here serves, the tester connected and
                  the program took the connection: the tester's word
    timeout       the test ran at both ends but nothing got through in time:
                  a firewall or NAT plausibly dropped it
    not-testable-here
                  the port cannot be listened on or bound on this machine
                  (in use, or not allowed); nothing was asked of the tester.
                  A udp "in" check on a port a program here uses cannot be
                  observed: the pings would go to that program
    not-testable-at-tester
                  the tester could not listen on or bind the port (in use
                  there, or not allowed)
    tester-silent the tester did not answer or did not finish the test in time
    tester-lost   the connection to the tester was lost
  (The web front door also reports "refused" and "unreachable".)
  --json prints one document (docs/json.md in the package's documentation):
  {"version", "success", "server", "publicIp", "kind", "warning", "nat",
  "protocol", "timeout", "checks": [{"protocol", "port", "direction", "way",
  "result", "detail", "hint", "elapsedMs", "evidence"}], "summary": {"total",
  and a count for each result word}}, "error" added when the tester was lost;
  for ip the same without the checks; {"version", "success": false, "server",
  "error"} when no answer came.

Exit codes:
  0   every check succeeded (ip: the server answered)
  1   at least one check did not succeed
  2   usage error, or the server could not be reached, closed the connection
      before answering (paused, full, or not a tester), is not a tester (its
      first line is none of the protocol's, or it did not answer the first
      request in time) or was lost, or the output could not be written
)"_s.arg(QString::number(ControlProtocol::DefaultPort),
         QString::number(ControlProtocol::DefaultTimeLimitMs),
         QString::number(ControlProtocol::MinimumTimeLimitMs));
}
