#include "net/checkoutcome.h"

using namespace Qt::StringLiterals;

QString CheckOutcome::word(Kind kind)
{
    switch (kind) {
    case Reachable:
        return u"reachable"_s;
    case Refused:
        return u"refused"_s;
    case Timeout:
        return u"timeout"_s;
    case Unreachable:
        return u"unreachable"_s;
    case NotTestableHere:
        return u"not-testable-here"_s;
    case NotTestableAtTester:
        return u"not-testable-at-tester"_s;
    case TesterSilent:
        return u"tester-silent"_s;
    case RateLimited:
        return u"rate-limited"_s;
    case TesterLost:
        break;
    }
    return u"tester-lost"_s;
}

QString CheckOutcome::meaning(Kind kind)
{
    switch (kind) {
    case Reachable:
        return u"the connection got through"_s;
    case Refused:
        return u"the connection arrived, but nothing took it there"_s;
    case Timeout:
        return u"nothing answered in time: something on the way dropped the connection"_s;
    case Unreachable:
        return u"the network reported that there is no way there"_s;
    case NotTestableHere:
        return u"the port could not be listened on or bound on this machine"_s;
    case NotTestableAtTester:
        return u"the tester could not make the check on its side"_s;
    case TesterSilent:
        return u"the tester did not answer in time"_s;
    case RateLimited:
        return u"the tester takes no more tests from this address for now"_s;
    case TesterLost:
        break;
    }
    return u"the connection to the tester was lost"_s;
}
