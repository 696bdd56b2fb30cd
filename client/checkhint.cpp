#include "client/checkhint.h"

#include <QTcpServer>
#include <QUdpSocket>

using namespace Qt::StringLiterals;

namespace {
// Below this port, listening and binding need privileges on Linux by default.
constexpr quint16 firstUnprivilegedPort = 1024;
} // namespace

QString CheckHint::forResult(const CheckResult &result, const QHostAddress &local)
{
    switch (result.outcome) {
    case CheckResult::Reachable:
        return QString();
    case CheckResult::Blocked:
        return blocked(result.check);
    case CheckResult::TimedOut:
        return u"whether the server is overloaded or busy testing this port for another client"_s;
    case CheckResult::Unavailable:
        return unavailableHere(result.check, local);
    case CheckResult::UnavailableAtServer:
        return unavailableAtServer(result.check);
    case CheckResult::RateLimited:
        return u"nothing here: the tester limits the tests one address may run; wait the time "
               "given, then check again"_s;
    case CheckResult::Error:
        break;
    }
    return u"whether the server still runs and can be reached"_s;
}

QString CheckHint::blocked(const PortCheck &check)
{
    if (check.direction == ControlProtocol::In)
        return u"a firewall rule for incoming %1 here, and forwarding at any NAT router in front "
               "of this machine"_s.arg(port(check));
    return u"a firewall rule for outgoing %1 here, and for incoming %1 at the server"_s.arg(
        port(check));
}

QString CheckHint::unavailableHere(const PortCheck &check, const QHostAddress &local)
{
    // A UDP "out" check binds any free port to send from.
    if (check.direction == ControlProtocol::Out)
        return u"the limit on open files and sockets here"_s;
    if (probe(check, local) == QAbstractSocket::SocketAccessError)
        return u"root or CAP_NET_BIND_SERVICE here, which ports below %1 need"_s.arg(
            firstUnprivilegedPort);
    return u"which program uses %1 here"_s.arg(port(check));
}

QString CheckHint::unavailableAtServer(const PortCheck &check)
{
    // The server's UDP "out" half binds any free port to send from.
    if (check.protocol == ControlProtocol::Udp && check.direction == ControlProtocol::In)
        return u"the tester's limit on open files and sockets at the server"_s;
    if (check.port < firstUnprivilegedPort)
        return u"whether %1 is in use at the server, or the tester lacks root or "
               "CAP_NET_BIND_SERVICE there (ports below %2)"_s.arg(port(check))
                   .arg(firstUnprivilegedPort);
    return u"which program uses %1 at the server"_s.arg(port(check));
}

QAbstractSocket::SocketError CheckHint::probe(const PortCheck &check, const QHostAddress &local)
{
    if (check.protocol == ControlProtocol::Tcp) {
        QTcpServer server;
        return server.listen(local, check.port) ? QAbstractSocket::UnknownSocketError
                                                : server.serverError();
    }
    QUdpSocket socket;
    return socket.bind(local, check.port) ? QAbstractSocket::UnknownSocketError : socket.error();
}

QString CheckHint::port(const PortCheck &check)
{
    return u"%1 port %2"_s.arg(check.protocolName()).arg(check.port);
}
