#include "net/checkadvice.h"

using namespace Qt::StringLiterals;

namespace {
QString portName(const CheckAdvice::Situation &situation)
{
    return u"%1 port %2"_s.arg(situation.protocol.toUpper()).arg(situation.port);
}

QString listingCommand(const CheckAdvice::Situation &situation)
{
    return situation.protocol == u"udp"_s ? u"ss -lun"_s : u"ss -ltn"_s;
}
} // namespace

QStringList CheckAdvice::steps(CheckOutcome::Kind outcome, const Situation &situation)
{
    const QString port = portName(situation);
    switch (outcome) {
    case CheckOutcome::Reachable:
        return {};
    case CheckOutcome::Refused:
    case CheckOutcome::Timeout:
        if (situation.inbound)
            return inbound(outcome, situation);
        return {u"Does the firewall here let outgoing connections to %1 out?"_s.arg(port),
                u"Does the tester's firewall let incoming connections to %1 in?"_s.arg(port)};
    case CheckOutcome::Unreachable:
        return {u"Is there a route to your address? A network on the way reported none "
                "(traceroute shows how far packets get)."_s,
                u"Is the address the tester sees really yours, not a VPN's or a proxy's?"_s};
    case CheckOutcome::NotTestableHere:
        return {notTestableHere(situation)};
    case CheckOutcome::NotTestableAtTester:
        return {notTestableAtTester(situation)};
    case CheckOutcome::TesterSilent:
        return {u"Is the tester overloaded, or busy testing this port for another client?"_s};
    case CheckOutcome::RateLimited:
        return {u"Nothing to check here: the tester limits the tests one address may run. Wait "
                "the time it gave, then check again."_s};
    case CheckOutcome::TesterLost:
        break;
    }
    return {u"Does the tester still run, and can it be reached?"_s};
}

// Refused: something answered, so the way is open as far as this machine: first whether a
// program listens. Dropped: the way is shut somewhere: this machine's firewall, then the
// router's forwarding, then the provider.
QStringList CheckAdvice::inbound(CheckOutcome::Kind outcome, const Situation &situation)
{
    const QString port = portName(situation);
    const QString listening =
        u"Is a program listening on %1 on all addresses (0.0.0.0 or ::), not only on 127.0.0.1 "
        "or localhost? %2 shows what listens where."_s.arg(port, listingCommand(situation));
    QStringList steps;
    if (outcome == CheckOutcome::Refused) {
        steps << listening
              << u"Does a firewall here reject connections to %1 instead of letting them in?"_s.arg(
                     port);
        if (situation.nat != Nat::No)
            steps << forwarding(situation);
        return steps;
    }
    steps << u"Does the firewall here let incoming %1 in?"_s.arg(port);
    if (situation.nat != Nat::No) {
        steps << forwarding(situation)
              << u"Does your provider share one public address among many customers "
                 "(carrier-grade NAT)? Then no port forwarding can help: ask for a public "
                 "address of your own, or use IPv6."_s;
    }
    return steps;
}

QString CheckAdvice::forwarding(const Situation &situation)
{
    const QString port = portName(situation);
    if (situation.nat == Nat::Yes)
        return u"Does the router forward %1 to this machine? The tester sees another address "
               "than this machine's own, so a NAT router is in the way and this check tests its "
               "port forwarding too."_s.arg(port);
    return u"Behind a router: does it forward %1 to this computer's address in the local "
           "network (port forwarding)?"_s.arg(port);
}

QString CheckAdvice::notTestableHere(const Situation &situation)
{
    const QString port = portName(situation);
    switch (situation.cause) {
    case Cause::Privileged:
        return u"Does this run as root or with CAP_NET_BIND_SERVICE, which ports below %1 "
               "need?"_s.arg(FirstUnprivilegedPort);
    case Cause::NoDescriptors:
        return u"Is the limit on open files and sockets here reached?"_s;
    case Cause::InUse:
    case Cause::Unknown:
        break;
    }
    return u"Which program uses %1 here? %2p shows it."_s.arg(port, listingCommand(situation));
}

QString CheckAdvice::notTestableAtTester(const Situation &situation)
{
    const QString port = portName(situation);
    if (situation.cause == Cause::NoDescriptors)
        return u"Has the tester reached its limit on open files and sockets? Try again "
               "later."_s;
    if (situation.port < FirstUnprivilegedPort)
        return u"Is %1 in use at the tester, or does the tester lack root or "
               "CAP_NET_BIND_SERVICE there (ports below %2)?"_s.arg(port)
                   .arg(FirstUnprivilegedPort);
    return u"Which program uses %1 at the tester?"_s.arg(port);
}
