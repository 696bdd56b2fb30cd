#include "client/seenaddress.h"

#include "net/peeraddress.h"

#include <QNetworkInterface>

#include <algorithm>

using namespace Qt::StringLiterals;

SeenAddress SeenAddress::of(const QString &text, const QList<QHostAddress> &own)
{
    SeenAddress seen;
    seen.text = text;
    const QHostAddress address = plainAddress(QHostAddress(text));
    seen.kind = AddressKind::of(address);
    // Any loopback address is this machine's, whichever the interface lists.
    const bool ours = seen.kind == AddressKind::Loopback ||
                      std::any_of(own.begin(), own.end(), [&](const QHostAddress &mine) {
                          return plainAddress(mine).isEqual(address);
                      });
    seen.nat = ours ? CheckAdvice::Nat::No : CheckAdvice::Nat::Yes;
    return seen;
}

SeenAddress SeenAddress::ofHere(const QString &text)
{
    return of(text, QNetworkInterface::allAddresses());
}

QString SeenAddress::summary() const
{
    QString line = u"the tester sees this machine as %1 (%2)"_s.arg(text, AddressKind::word(kind));
    if (nat == CheckAdvice::Nat::Yes)
        line += u", not under an address of its own: NAT is in the way"_s;
    return line;
}
