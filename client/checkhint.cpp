#include "client/checkhint.h"

#include <QTcpServer>
#include <QUdpSocket>

using namespace Qt::StringLiterals;

QString CheckHint::forResult(const CheckResult &result, const QHostAddress &local,
                             AddressKind::Kind seen, CheckAdvice::Nat nat)
{
    CheckAdvice::Situation situation;
    situation.protocol = result.check.protocolName();
    situation.port = result.check.port;
    situation.inbound = result.check.direction == ControlProtocol::In;
    situation.kind = seen;
    situation.nat = nat;
    if (result.outcome == CheckOutcome::NotTestableHere)
        situation.cause = causeHere(result.check, local);
    // The tester's half of a UDP "in" check binds any free port to send from.
    else if (result.outcome == CheckOutcome::NotTestableAtTester &&
             result.check.protocol == ControlProtocol::Udp && situation.inbound)
        situation.cause = CheckAdvice::Cause::NoDescriptors;
    return CheckAdvice::steps(result.outcome, situation).join(u' ');
}

CheckAdvice::Cause CheckHint::causeHere(const PortCheck &check, const QHostAddress &local)
{
    // A UDP "out" check binds any free port to send from.
    if (check.direction == ControlProtocol::Out)
        return CheckAdvice::Cause::NoDescriptors;
    if (probe(check, local) == QAbstractSocket::SocketAccessError)
        return CheckAdvice::Cause::Privileged;
    return CheckAdvice::Cause::InUse;
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
