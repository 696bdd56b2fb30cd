#pragma once

#include "http/httprequest.h"
#include "http/httpresponse.h"

#include <functional>
#include <optional>

// What an HTTP connection hands each complete request to: one object per connection, made by
// its listener's HttpService. The connection does the framing, the order of answers, keep-alive,
// back-pressure and timeouts; the handler decides only what the answer is, now or later.
//
// Threading: made, used and destroyed in the connection's thread.
class HttpHandler
{
public:
    struct Answer
    {
        HttpResponse response;
        // False: the connection ends once this answer is out.
        bool keepAlive = true;
    };
    // Takes a deferred answer; valid until abandon() or the handler's end.
    using Reply = std::function<void(const Answer &answer)>;

    virtual ~HttpHandler() = default;

    // One complete, well-formed request. Returns its answer, or nothing when it comes later
    // through `later` (called once, from the event loop, never from inside handle()); the
    // connection reads nothing more until then.
    virtual std::optional<Answer> handle(const HttpRequest &request, const Reply &later) = 0;
    // A request the parser refused with `answer` (the connection closes after it): for the log.
    virtual void refused(const HttpRequest &request, const HttpResponse &answer) = 0;
    // The connection ended while an answer was deferred: stop that work; `later` is not called.
    virtual void abandon() = 0;
    // The answer to the request handed over (or refused) last was queued for sending, `seconds`
    // after that request was whole: for the figures.
    virtual void answered(int status, double seconds) = 0;
};
