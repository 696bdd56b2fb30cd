#include "client/checkresult.h"

using namespace Qt::StringLiterals;

QString CheckResult::outcomeName() const
{
    switch (outcome) {
    case Reachable:
        return u"reachable"_s;
    case Blocked:
        return u"blocked"_s;
    case TimedOut:
        return u"timeout"_s;
    case Unavailable:
        return u"unavailable"_s;
    case UnavailableAtServer:
        return u"unavailable at the server"_s;
    case RateLimited:
        return u"rate limited"_s;
    case Error:
        break;
    }
    return u"error"_s;
}

QString CheckResult::evidenceName() const
{
    if (evidence == Evidence::None)
        return QString();
    return evidence == Evidence::Here ? u"here"_s : u"server"_s;
}
