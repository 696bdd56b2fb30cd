#pragma once

#include "client/portcheck.h"

#include <QString>

// How one check ended.
struct CheckResult
{
    enum Outcome {
        Reachable,           // the connection or ping got through
        Blocked,             // the test ran at both ends and nothing got through in time
        TimedOut,            // the server did not answer or did not finish the test in time
        Unavailable,         // the port could not be listened on or bound on this machine
        UnavailableAtServer, // the server reported that it could not listen or bind
        RateLimited,         // the server takes no more tests from this address for a while
        Error,               // the control connection was lost
    };

    // Whose observation a reachable result rests on: this machine saw the connection or ping
    // arrive (or its own connection made), or only the server could see it.
    enum class Evidence { None, Here, Server };

    PortCheck check;
    Outcome outcome = Error;
    Evidence evidence = Evidence::None;
    QString detail;
    // What to look at, for every result but reachable.
    QString hint;
    qint64 elapsed_ms = 0;

    // "reachable", "blocked", "timeout", "unavailable", "unavailable at the server",
    // "rate limited", "error":
    // the words of the text report and of --json alike.
    QString outcomeName() const;
    // "here", "server", or empty for none.
    QString evidenceName() const;
};
