#pragma once

#include "http/httphandler.h"

class MetricsRegistry;

// The metrics listener's answer to each request of one connection: the registry's scrape for
// GET or HEAD /metrics, in Prometheus's text format; 405 for other methods there, 404 elsewhere.
//
// Threading: lives in its connection's thread; the registry renders from any thread.
class MetricsHandler : public HttpHandler
{
public:
    // `registry` must outlive the handler.
    explicit MetricsHandler(const MetricsRegistry &registry) : m_registry(registry) {}

    std::optional<Answer> handle(const HttpRequest &request, const Reply &later) override;
    void refused(const HttpRequest &, const HttpResponse &) override {}
    // Nothing is ever deferred.
    void abandon() override {}
    void answered(int, double) override {}

private:
    const MetricsRegistry &m_registry;
};
