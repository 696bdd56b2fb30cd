#pragma once

#include "client/checkresult.h"

#include <QAbstractSocket>
#include <QHostAddress>
#include <QString>

// What to look at when a check did not get through: one short hint for each result but
// reachable, naming the protocol, port and direction concerned.
class CheckHint
{
public:
    // local: where this side listens or binds for its checks, to find out why it could not.
    static QString forResult(const CheckResult &result, const QHostAddress &local);

private:
    static QString blocked(const PortCheck &check);
    static QString unavailableHere(const PortCheck &check, const QHostAddress &local);
    static QString unavailableAtServer(const PortCheck &check);
    // The error a listen or bind of the check's port gets here now.
    static QAbstractSocket::SocketError probe(const PortCheck &check, const QHostAddress &local);
    static QString port(const PortCheck &check);
};
