#pragma once

#include "client/portcheck.h"
#include "net/checkoutcome.h"

#include <QString>

// How one check ended.
struct CheckResult
{
    // Whose observation a reachable result rests on: this machine saw the connection or ping
    // arrive (or its own connection made), or only the server could see it.
    enum class Evidence { None, Here, Server };

    PortCheck check;
    CheckOutcome::Kind outcome = CheckOutcome::TesterLost;
    Evidence evidence = Evidence::None;
    QString detail;
    // What to look at, for every result but reachable.
    QString hint;
    qint64 elapsed_ms = 0;

    // The outcome's word (CheckOutcome::word): the text report and --json alike.
    QString outcomeName() const { return CheckOutcome::word(outcome); }
    // "here", "server", or empty for none.
    QString evidenceName() const;
};
