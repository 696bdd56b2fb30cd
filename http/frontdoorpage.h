#pragma once

#include "http/tcpreachcheck.h"
#include "net/addresskind.h"

#include <QByteArray>
#include <QString>

// The front door's pages for browsers: the caller's address, a form that checks a TCP port on
// it, what the result means and how to ask from a terminal. No script, nothing loaded from
// elsewhere; everything put in is escaped.
class FrontDoorPage
{
public:
    // The policy every answer carries; it admits exactly the pages' own style sheet.
    static QByteArray contentSecurityPolicy();

    // `host` (may be empty) is shown in the terminal examples; `kind` is the caller's address's,
    // named beside it and warned about when it is not public.
    static QString home(const QString &caller, AddressKind::Kind kind, const QString &host);
    // A not-reachable result says what to check next.
    static QString checkResult(const QString &caller, AddressKind::Kind kind, const QString &host,
                               quint16 port, TcpReachCheck::Outcome outcome, qint64 elapsedMs);
    static QString problem(const QString &caller, AddressKind::Kind kind, const QString &host,
                           const QString &message);

private:
    static QString advice(quint16 port, TcpReachCheck::Outcome outcome, AddressKind::Kind kind);
    static QString page(const QString &title, const QString &result, const QString &caller,
                        AddressKind::Kind kind, const QString &host, const QString &port);
};
