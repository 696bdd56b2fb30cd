#pragma once

#include "http/frontdoorroutes.h"
#include "http/httphandler.h"
#include "http/tcpreachcheck.h"
#include "metrics/testermetrics.h"

#include <QObject>

#include <memory>
#include <optional>

class FrontDoorShared;
class LogThrottle;

// The front door's answer to each request of one connection: refused while the service is
// paused, the caller taken from X-Forwarded-For when the peer is a trusted proxy, the routes'
// answer, or a port check run first and answered when it ends (busy when its port is held,
// 429 when its caller is over the rate of checks).
// Every request is logged, once per client every 10 s.
//
// Threading: lives in its connection's thread and is used there only.
class FrontDoorHandler : public QObject, public HttpHandler
{
    Q_OBJECT

public:
    // `shared` and `requestLog` must outlive the handler.
    FrontDoorHandler(const QHostAddress &peer, FrontDoorShared &shared, LogThrottle &requestLog);
    ~FrontDoorHandler() override;

    std::optional<Answer> handle(const HttpRequest &request, const Reply &later) override;
    void refused(const HttpRequest &request, const HttpResponse &answer) override;
    void abandon() override;
    void answered(int status, double seconds) override;

private:
    struct DeleteLater
    {
        void operator()(QObject *object) const { object->deleteLater(); }
    };
    // The request whose port check runs.
    struct PendingCheck
    {
        HttpRequest request;
        FrontDoorRoutes::Caller caller;
        FrontDoorRoutes::PortCheck check;
        // May still be inside its own signal when the check ends.
        std::unique_ptr<TcpReachCheck, DeleteLater> reach;
        Reply reply;
    };

    Answer rateLimited(const HttpRequest &request, const FrontDoorRoutes::Caller &caller,
                       const FrontDoorRoutes::PortCheck &check, int retryAfterS);
    void onCheckFinished();
    void logRequest(const HttpRequest &request, const FrontDoorRoutes::Caller &caller,
                    QByteArrayView outcome);

    FrontDoorShared &m_shared;
    LogThrottle &m_request_log;
    FrontDoorRoutes::Caller m_peer;
    QString m_peer_key;
    std::optional<PendingCheck> m_pending;
    // Where the request answered next went, for the figures.
    TesterMetrics::Route m_route = TesterMetrics::Route::Other;
};
