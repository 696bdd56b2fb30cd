#pragma once

#include "client/checkresult.h"
#include "net/checkadvice.h"

#include <QAbstractSocket>
#include <QHostAddress>
#include <QString>

// What to look at when a check did not get through: the shared advice for its outcome, with
// what only this machine can find out (why a port cannot be taken here, whether a NAT router
// is in the way).
class CheckHint
{
public:
    // local: where this side listens or binds for its checks, to find out why it could not.
    // seen: how the tester sees this machine.
    static QString forResult(const CheckResult &result, const QHostAddress &local,
                             AddressKind::Kind seen, CheckAdvice::Nat nat);

private:
    // The error a listen or bind of the check's port gets here now.
    static QAbstractSocket::SocketError probe(const PortCheck &check, const QHostAddress &local);
    static CheckAdvice::Cause causeHere(const PortCheck &check, const QHostAddress &local);
};
