#pragma once

#include "metrics/callbackvalue.h"
#include "metrics/counter.h"
#include "metrics/gauge.h"
#include "metrics/histogram.h"
#include "protocol/controlprotocol.h"

#include <QByteArrayView>

#include <array>
#include <memory>

class MetricsRegistry;

// The tester's own figures, all under "vx_" (docs/metrics.md explains each). Every series is
// made here, at start, for each of its few label values, so the parts that count reach theirs
// by enum through an array, e.g. `metrics.testsTotal(Tcp, In, Result::Success).inc()`: no
// lookup, no lock, no text on any hot path.
//
//   vx_build_info{version}                                  gauge, always 1
//   vx_control_connections_accepted_total                   counter
//   vx_control_connections_refused_total{reason}            counter
//   vx_web_requests_total{route,status}                     counter
//   vx_tests_total{protocol,direction,result}               counter
//   vx_web_checks_total{outcome}                            counter
//   vx_rate_limited_total{door}                             counter
//   vx_idle_evictions_total{door}                           counter
//   vx_open_connections{door}                               gauge
//   vx_tests_queued, vx_tests_running                       gauge
//   vx_reserved_ports                                       gauge, read at scrape
//   vx_descriptor_budget_used, vx_descriptor_budget_limit   gauge, read at scrape
//   vx_test_duration_seconds{protocol,direction}            histogram
//   vx_web_response_duration_seconds{route}                 histogram
//
// Threading: any thread; it is made before the doors start and outlives them.
class TesterMetrics
{
public:
    enum class Door { Control, Web, Count_ };
    // Why a control connection was closed at once.
    enum class Refusal { Paused, PerAddress, Descriptors, Threads, RateLimited, Count_ };
    // Where a web request went; Other: nothing there (404) or refused before routing.
    enum class Route { Home, Ip, Port, Check, Other, Count_ };
    // How a web check of a caller's port ended; Busy: the port was held by another test.
    enum class CheckOutcome { Reachable, Refused, Timeout, Unreachable, LocalError, Busy, Count_ };

    static constexpr std::array<double, 12> TestDurationBounds{0.001, 0.005, 0.01, 0.05, 0.1, 0.25,
                                                               0.5,   1,     2.5,  5,    10,  30};
    static constexpr std::array<double, 14> WebResponseBounds{
        0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 5};

    // Registers every family with `registry`, which must outlive this object. `version` goes
    // into vx_build_info. isValid() is false if a name was refused (already taken); the series
    // then live in a registry of their own that nobody scrapes, so counting stays safe.
    TesterMetrics(MetricsRegistry &registry, QByteArrayView version);
    ~TesterMetrics();
    bool isValid() const { return !m_unscraped; }

    Counter &controlConnectionsAcceptedTotal() { return *m_control_accepted; }
    Counter &controlConnectionsRefusedTotal(Refusal reason)
    {
        return *at(m_control_refused, reason);
    }
    // By the status code's class: 2xx to 5xx (others count as 5xx).
    Counter &webRequestsTotal(Route route, int status);
    Counter &testsTotal(ControlProtocol::Protocol protocol, ControlProtocol::Direction direction,
                        ControlProtocol::Result result);
    Counter &webChecksTotal(CheckOutcome outcome) { return *at(m_web_checks, outcome); }
    Counter &rateLimitedTotal(Door door) { return *at(m_rate_limited, door); }
    Counter &idleEvictionsTotal(Door door) { return *at(m_idle_evictions, door); }
    Gauge &openConnections(Door door) { return *at(m_open_connections, door); }
    Gauge &testsQueued() { return *m_tests_queued; }
    Gauge &testsRunning() { return *m_tests_running; }
    // Read at scrape: hand each the source that knows it (setSource), and take it back
    // (clearSource) before that source goes.
    CallbackValue &reservedPorts() { return *m_reserved_ports; }
    CallbackValue &descriptorBudgetUsed() { return *m_budget_used; }
    CallbackValue &descriptorBudgetLimit() { return *m_budget_limit; }
    // Seconds from a test's start to its end, whatever the result.
    Histogram &testDurationSeconds(ControlProtocol::Protocol protocol,
                                   ControlProtocol::Direction direction);
    // Seconds from a web request's last byte to its answer being handed to the socket.
    Histogram &webResponseDurationSeconds(Route route) { return *at(m_web_latency, route); }

    // The label values, as the scrape shows them.
    static QByteArrayView doorName(Door door);
    static QByteArrayView refusalName(Refusal reason);
    static QByteArrayView routeName(Route route);
    static QByteArrayView checkOutcomeName(CheckOutcome outcome);

private:
    template<class T, std::size_t N, class E>
    static T *at(const std::array<T *, N> &series, E index)
    {
        static_assert(N == std::size_t(E::Count_));
        return series[std::size_t(index)];
    }
    static constexpr int StatusClasses = 4; // 2xx, 3xx, 4xx, 5xx

    bool build(MetricsRegistry &registry, QByteArrayView version);

    std::unique_ptr<MetricsRegistry> m_unscraped;
    Counter *m_control_accepted = nullptr;
    std::array<Counter *, std::size_t(Refusal::Count_)> m_control_refused{};
    std::array<Counter *, std::size_t(Route::Count_) * StatusClasses> m_web_requests{};
    std::array<Counter *, 2 * 2 * 3> m_tests{};
    std::array<Counter *, std::size_t(CheckOutcome::Count_)> m_web_checks{};
    std::array<Counter *, std::size_t(Door::Count_)> m_rate_limited{};
    std::array<Counter *, std::size_t(Door::Count_)> m_idle_evictions{};
    std::array<Gauge *, std::size_t(Door::Count_)> m_open_connections{};
    Gauge *m_tests_queued = nullptr;
    Gauge *m_tests_running = nullptr;
    CallbackValue *m_reserved_ports = nullptr;
    CallbackValue *m_budget_used = nullptr;
    CallbackValue *m_budget_limit = nullptr;
    std::array<Histogram *, 2 * 2> m_test_duration{};
    std::array<Histogram *, std::size_t(Route::Count_)> m_web_latency{};
};
