#include "http/metricshandler.h"

#include "metrics/metricsregistry.h"
#include "metrics/textformat.h"

using namespace Qt::StringLiterals;

std::optional<HttpHandler::Answer> MetricsHandler::handle(const HttpRequest &request, const Reply &)
{
    if (request.path() != "/metrics")
        return Answer{HttpResponse::text(404, u"not found: the figures are at /metrics\n"_s),
                      request.keepAlive()};
    if (request.method() != "GET" && request.method() != "HEAD") {
        HttpResponse refusal = HttpResponse::text(405, u"only GET and HEAD are served\n"_s);
        refusal.addHeader("Allow", "GET, HEAD");
        return Answer{refusal, request.keepAlive()};
    }
    // Rendered for HEAD too: its Content-Length is the one GET would get.
    return Answer{HttpResponse(200, TextFormat::ContentType.toByteArray(), m_registry.render()),
                  request.keepAlive()};
}
