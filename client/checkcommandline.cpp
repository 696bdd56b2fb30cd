#include "client/checkcommandline.h"

#include "client/portlist.h"
#include "protocol/controlprotocol.h"

#include <QCommandLineParser>

using namespace Qt::StringLiterals;

namespace {
constexpr int maximumTimeout = 3600000;
} // namespace

bool CheckCommandLine::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption server(u"server"_s, QString(), u"HOST"_s, u"127.0.0.1"_s);
    const QCommandLineOption port(u"port"_s, QString(), u"N"_s,
                                  QString::number(ControlProtocol::DefaultPort));
    const QCommandLineOption timeout(u"timeout"_s, QString(), u"MS"_s,
                                     QString::number(ControlProtocol::DefaultTimeLimitMs));
    const QCommandLineOption direction(u"direction"_s, QString(), u"DIR"_s, u"both"_s);
    const QCommandLineOption json(u"json"_s);
    const QCommandLineOption verbose(u"verbose"_s);
    const QCommandLineOption help(QStringList{u"h"_s, u"help"_s});
    parser.addOptions({server, port, timeout, direction, json, verbose, help});
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    m_help = parser.isSet(help);
    if (m_help)
        return true;
    m_server = parser.value(server).trimmed();
    m_json = parser.isSet(json);
    m_verbose = parser.isSet(verbose);
    if (m_server.isEmpty())
        return usageError(u"--server needs a host name or address"_s);
    if (!parsePortOption(parser.value(port)) || !parseTimeout(parser.value(timeout)) ||
        !parseDirection(parser.value(direction)) || !parseCommand(parser.positionalArguments()))
        return false;
    if (m_command == Command::Ip && parser.isSet(direction))
        return usageError(u"--direction applies to tcp and udp checks only"_s);
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
    if (command != u"tcp"_s && command != u"udp"_s)
        return usageError(u"unknown command '%1': use ip, tcp or udp"_s.arg(command));
    m_command = command == u"tcp"_s ? Command::Tcp : Command::Udp;
    if (positional.size() < 2)
        return usageError(u"%1 needs the ports to check, e.g. 80,443,8000-8010"_s.arg(command));
    // "tcp 80 443" reads as "tcp 80,443".
    QString error;
    if (!PortList::parse(positional.mid(1).join(u','), m_ports, error))
        return usageError(error);
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

ControlProtocol::Protocol CheckCommandLine::protocol() const
{
    return m_command == Command::Tcp ? ControlProtocol::Tcp : ControlProtocol::Udp;
}

QList<PortCheck> CheckCommandLine::checks() const
{
    QList<PortCheck> checks;
    for (quint16 port : m_ports) {
        if (m_check_in)
            checks.append({protocol(), port, ControlProtocol::In});
        if (m_check_out)
            checks.append({protocol(), port, ControlProtocol::Out});
    }
    return checks;
}

QString CheckCommandLine::helpText()
{
    return uR"(Usage: vx-connectivity-check [options] ip
       vx-connectivity-check [options] tcp|udp PORTS [--direction in|out|both]

Asks a running VX Connectivity Tester how it sees this machine.

Commands:
  ip            print the address under which the server sees this machine
  tcp PORTS     check TCP ports
  udp PORTS     check UDP ports

PORTS is a list of ports and ranges, e.g. 80,443,8000-8010; a port named
twice is checked once. Directions are seen from this machine:
  in            can the server reach this port here? This machine listens on
                (TCP) or binds (UDP) the port and waits; the server connects
                or sends pings to it.
  out           can this machine reach the port on the server? The server
                listens or binds; this machine connects or sends pings.
  both          in, then out, for every port (the default)
The checks run one after another over one control connection.

Options:
  --server HOST     the tester to ask (default 127.0.0.1)
  --port N          its control port (default %1)
  --timeout MS      time limit of each check at the server, and of connecting
                    to it and of its answers (default %2; the server raises
                    limits below %3 to %3)
  --direction DIR   in, out or both (default both)
  --json            print one JSON document instead of text
  --verbose         show the lines exchanged and diagnostics on stderr
  -h, --help        show this help

Output:
  One line per finished check: protocol, port, direction, result, the time it
  took and, where it helps, why. A summary follows. While checks run, a
  progress indicator is shown when standard output is a terminal.
  Results:
    reachable     the connection or ping got through
    blocked       the server reported a failure: it could not listen on or
                  bind the port at its end
    timed out     nothing got through within the time limit, or the server
                  did not answer in time
    unavailable   the port cannot be listened on or bound on this machine
                  (in use, or not allowed); nothing was asked of the server
    error         the connection to the server was lost
  --json prints one document: for checks {"server", "protocol", "timeout",
  "checks": [{"protocol", "port", "direction", "result", "detail",
  "elapsedMs"}], "summary": {"total", "reachable", "blocked", "timeout",
  "unavailable", "error"}, "success"} with result one of reachable, blocked,
  timeout, unavailable, error, and "error" added when the server was lost;
  for ip {"server", "publicIp"}; {"server", "error"} when the server cannot
  be reached.

Exit codes:
  0   every check succeeded (ip: the server answered)
  1   at least one check did not succeed
  2   usage error, or the server could not be reached or was lost
)"_s.arg(QString::number(ControlProtocol::DefaultPort),
         QString::number(ControlProtocol::DefaultTimeLimitMs),
         QString::number(ControlProtocol::MinimumTimeLimitMs));
}
