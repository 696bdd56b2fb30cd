#pragma once

#include "http/httprequest.h"
#include "http/httpresponse.h"
#include "http/tcpreachcheck.h"

#include <QHostAddress>
#include <QString>

#include <variant>

// What the front door answers: GET or HEAD /ip, /port/N (JSON, or text with ?format=text), /
// and /check?port=N (pages). A port check is not run here: route() hands back its order, and
// checkAnswer() or busyAnswer() turn the outcome into the answer. A caller with a null address
// (a trusted proxy that named no client) gets 400 "no client address" from every route that
// shows or checks the caller.
//
// Threading: const after construction; any thread may use it.
class FrontDoorRoutes
{
public:
    static constexpr int DefaultCheckTimeMs = 3000;
    static constexpr int MinCheckTimeMs = 100;
    // A TCP handshake across the world takes well under a second: a check whose connection is
    // dropped must not hold its port's reservation long.
    static constexpr int MaxCheckTimeMs = 5000;
    // Seconds a paused service asks web clients to wait.
    static constexpr int PausedRetryAfterS = 30;

    // Who asks, with the address's text made once.
    struct Caller
    {
        QHostAddress address;
        QByteArray text;
    };

    // A check to run before answering.
    struct PortCheck
    {
        quint16 port = 0;
        int timeoutMs = DefaultCheckTimeMs;
        enum class Form { Json, Text, Page } form = Form::Json;
    };

    // What a path names: the page, the caller's address, a check by path or by query, or
    // nothing served.
    enum class Target { Home, Ip, Port, Check, Other };
    static Target targetOf(const QByteArray &path);

    // maxCheckTimeMs: longer time limits asked for are cut to it (and to MaxCheckTimeMs).
    explicit FrontDoorRoutes(int maxCheckTimeMs);

    // The answer, or the check to run first.
    std::variant<HttpResponse, PortCheck> route(const HttpRequest &request,
                                                const Caller &caller) const;
    HttpResponse checkAnswer(const HttpRequest &request, const Caller &caller,
                             const PortCheck &check, TcpReachCheck::Outcome outcome,
                             qint64 elapsedMs) const;
    HttpResponse busyAnswer(const HttpRequest &request, const Caller &caller,
                            const PortCheck &check) const;
    // 429 for a caller over its rate of `perMinute` checks, who may ask again in retryAfterS.
    static HttpResponse rateLimitedAnswer(const HttpRequest &request, const Caller &caller,
                                          const PortCheck &check, int perMinute, int retryAfterS);
    static HttpResponse pausedAnswer();

private:
    std::variant<HttpResponse, PortCheck> routePortCheck(const HttpRequest &request,
                                                         const Caller &caller,
                                                         const QByteArray &portText,
                                                         PortCheck::Form form) const;
    // retryAfterS > 0: sent as Retry-After and, in JSON, as "retryAfterSeconds".
    static HttpResponse problem(const HttpRequest &request, const Caller &caller,
                                PortCheck::Form form, int status, const QString &message,
                                int retryAfterS = 0);
    static HttpResponse ipAnswer(const HttpRequest &request, const Caller &caller);
    static QString shownHost(const HttpRequest &request);

    int m_max_check_time_ms;
};
