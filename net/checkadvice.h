#pragma once

#include "net/addresskind.h"
#include "net/checkoutcome.h"

#include <QStringList>

// What to check next when a check did not get through, in the order that fits its outcome,
// each step a question to go through. The client's hints and the web door's page both take
// their advice from here.
class CheckAdvice
{
public:
    // Whether a NAT router stands between the caller and the tester: only the client, which
    // knows its own interface addresses, can tell.
    enum class Nat { Unknown, No, Yes };
    // Why a port could not be listened on or bound, where that is known.
    enum class Cause { Unknown, InUse, Privileged, NoDescriptors };

    struct Situation
    {
        QString protocol = QStringLiteral("tcp"); // "tcp" or "udp"
        quint16 port = 0;
        // The tester connects or pings to the caller (the caller's "in").
        bool inbound = true;
        AddressKind::Kind kind = AddressKind::Public;
        Nat nat = Nat::Unknown;
        Cause cause = Cause::Unknown;
    };

    // Below this port, listening and binding need privileges on Linux by default.
    static constexpr quint16 FirstUnprivilegedPort = 1024;

    // Empty for a reachable result.
    static QStringList steps(CheckOutcome::Kind outcome, const Situation &situation);

private:
    static QStringList inbound(CheckOutcome::Kind outcome, const Situation &situation);
    static QString forwarding(const Situation &situation);
    static QString notTestableHere(const Situation &situation);
    static QString notTestableAtTester(const Situation &situation);
};
