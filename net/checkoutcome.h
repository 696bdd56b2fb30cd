#pragma once

#include <QString>

// One word for each way a check can end, used alike by the client's text and JSON and by the
// web door's page and JSON. The first four are what a connection attempt found; the rest say
// why there is no such finding.
class CheckOutcome
{
public:
    enum Kind {
        Reachable,           // the connection or ping got through
        Refused,             // the connection arrived and was answered "nothing listens here"
        Timeout,             // nothing answered within the time limit: dropped on the way
        Unreachable,         // the network reported that there is no way there
        NotTestableHere,     // this machine could not listen on or bind the port
        NotTestableAtTester, // the tester could not listen, bind or connect for the check
        TesterSilent,        // the tester did not answer, or did not finish the test, in time
        RateLimited,         // the tester takes no more tests from this address for a while
        TesterLost,          // the connection to the tester was lost
    };
    static constexpr int KindCount = TesterLost + 1;

    // "reachable", "refused", "timeout", "unreachable", "not-testable-here",
    // "not-testable-at-tester", "tester-silent", "rate-limited", "tester-lost": no blanks, so that they serve
    // as JSON keys as well.
    static QString word(Kind kind);
    // One sentence for people, e.g. for the page.
    static QString meaning(Kind kind);
};
