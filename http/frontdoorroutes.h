#pragma once

#include "http/httprequest.h"
#include "http/httpresponse.h"

#include <QHostAddress>
#include <QString>

#include <variant>

// What the front door answers: GET /ip, /port/N (JSON), / and /check?port=N (pages). A port
// check is not run here: route() hands back its order, and checkAnswer() or busyAnswer() turn
// the outcome into the answer.
class FrontDoorRoutes
{
public:
    static constexpr int DefaultCheckTimeMs = 3000;
    static constexpr int MinCheckTimeMs = 100;

    // A check to run before answering.
    struct PortCheck
    {
        quint16 port = 0;
        int timeoutMs = DefaultCheckTimeMs;
        // Answered with a page (/check) rather than JSON (/port/N).
        bool asPage = false;
    };

    // maxCheckTimeMs: longer time limits asked for are cut to it.
    explicit FrontDoorRoutes(int maxCheckTimeMs);

    // The answer, or the check to run first.
    std::variant<HttpResponse, PortCheck> route(const HttpRequest &request,
                                                const QHostAddress &caller) const;
    HttpResponse checkAnswer(const HttpRequest &request, const QHostAddress &caller,
                             const PortCheck &check, bool reachable, qint64 elapsedMs) const;
    HttpResponse busyAnswer(const HttpRequest &request, const QHostAddress &caller,
                            const PortCheck &check) const;

private:
    std::variant<HttpResponse, PortCheck> routePortCheck(const HttpRequest &request,
                                                         const QHostAddress &caller,
                                                         const QString &portText,
                                                         bool asPage) const;
    HttpResponse problem(const HttpRequest &request, const QHostAddress &caller, bool asPage,
                         int status, const QString &message) const;
    static HttpResponse ipAnswer(const HttpRequest &request, const QHostAddress &caller);
    static QString shownHost(const HttpRequest &request);

    int m_max_check_time_ms;
};
