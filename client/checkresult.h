#pragma once

#include "client/portcheck.h"

#include <QString>

// How one check ended.
struct CheckResult
{
    enum Outcome {
        Reachable,   // the connection or ping got through
        Blocked,     // the server reported a failure (it could not listen or bind)
        TimedOut,    // the server's time limit passed, or the server never answered
        Unavailable, // the port could not be listened on or bound on this machine
        Error,       // the control connection was lost
    };

    PortCheck check;
    Outcome outcome = Error;
    QString detail;
    qint64 elapsed_ms = 0;

    // "reachable", "blocked", "timeout", "unavailable", "error": the names in --json.
    QString outcomeKey() const;
    // The words of the text report ("timed out" instead of "timeout").
    QString outcomeText() const;
};
