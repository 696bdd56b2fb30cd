#pragma once

#include "net/addresskind.h"
#include "net/checkadvice.h"

#include <QHostAddress>
#include <QList>
#include <QString>

// The address under which the tester sees this machine, with what it means: its kind, and
// whether a NAT router stands in between (the tester sees an address none of this machine's
// interfaces has). A website cannot know the second; the client can.
struct SeenAddress
{
    QString text;
    AddressKind::Kind kind = AddressKind::Public;
    CheckAdvice::Nat nat = CheckAdvice::Nat::Unknown;

    // own: this machine's interface addresses.
    static SeenAddress of(const QString &text, const QList<QHostAddress> &own);
    // The same, with the addresses the interfaces have now.
    static SeenAddress ofHere(const QString &text);

    // What a result seen under this address does not prove; empty for a public one.
    QString warning() const { return AddressKind::warning(kind); }
    // One line for people, e.g. "the tester sees this machine as 192.0.2.7 (public)", and
    // whether NAT is in the way.
    QString summary() const;
};
