#include "metrics/testermetrics.h"

#include "metrics/metricsregistry.h"

using namespace ControlProtocol;

namespace {
constexpr std::size_t index(Protocol protocol, Direction direction)
{
    return std::size_t(protocol) * 2 + std::size_t(direction);
}

QByteArray latin1(const QString &text)
{
    return text.toLatin1();
}

// Every value of an enum with a Count_ end.
template<class E> constexpr auto all()
{
    std::array<E, std::size_t(E::Count_)> values{};
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = E(i);
    return values;
}

constexpr std::array<Result, 3> results{Result::Success, Result::Failure, Result::Timeout};
constexpr std::array<QByteArrayView, 4> statusClasses{"2xx", "3xx", "4xx", "5xx"};
} // namespace

TesterMetrics::TesterMetrics(MetricsRegistry &registry, QByteArrayView version)
{
    if (!build(registry, version)) {
        m_unscraped = std::make_unique<MetricsRegistry>();
        build(*m_unscraped, version);
    }
}

TesterMetrics::~TesterMetrics() = default;

bool TesterMetrics::build(MetricsRegistry &registry, QByteArrayView version)
{
    auto *build = registry.gauge("vx_build_info", "The tester's version; always 1.", {"version"});
    auto *accepted = registry.counter("vx_control_connections_accepted_total",
                                      "Control connections accepted and served.");
    auto *refused = registry.counter("vx_control_connections_refused_total",
                                     "Control connections closed at once, by reason.", {"reason"});
    auto *requests = registry.counter("vx_web_requests_total",
                                      "Web front door requests answered, by route and status "
                                      "class.",
                                      {"route", "status"});
    auto *tests = registry.counter("vx_tests_total",
                                   "Port tests ended, by protocol, direction "
                                   "and result.",
                                   {"protocol", "direction", "result"});
    auto *checks = registry.counter(
        "vx_web_checks_total", "Port checks of the web front door ended, by outcome.", {"outcome"});
    auto *limited =
        registry.counter("vx_rate_limited_total",
                         "Requests or connections refused by a rate limit, by door.", {"door"});
    auto *evicted = registry.counter("vx_idle_evictions_total",
                                     "Idle connections closed to make room, by door.", {"door"});
    auto *open = registry.gauge("vx_open_connections", "Connections open now, by door.", {"door"});
    auto *queued = registry.gauge("vx_tests_queued", "Port tests waiting for their turn.");
    auto *running = registry.gauge("vx_tests_running", "Port tests running now.");
    auto *reserved = registry.callbackGauge("vx_reserved_ports",
                                            "Port numbers held by running tests and checks.");
    auto *used = registry.callbackGauge("vx_descriptor_budget_used",
                                        "File descriptors in use or promised to served "
                                        "connections.");
    auto *limit = registry.callbackGauge("vx_descriptor_budget_limit",
                                         "File descriptors the process may hold "
                                         "(RLIMIT_NOFILE).");
    auto *duration = registry.histogram("vx_test_duration_seconds",
                                        "Time from a port test's start to its end, by protocol "
                                        "and direction.",
                                        {"protocol", "direction"}, TestDurationBounds);
    auto *latency = registry.histogram("vx_web_response_duration_seconds",
                                       "Time from a web request's arrival to its answer, by "
                                       "route.",
                                       {"route"}, WebResponseBounds);
    if (!build || !accepted || !refused || !requests || !tests || !checks || !limited || !evicted ||
        !open || !queued || !running || !reserved || !used || !limit || !duration || !latency)
        return false;

    build->add({version.toByteArray()}).set(1);
    m_control_accepted = &accepted->add();
    for (const Refusal reason : all<Refusal>())
        m_control_refused[std::size_t(reason)] = &refused->add({refusalName(reason).toByteArray()});
    for (const Route route : all<Route>()) {
        for (std::size_t status = 0; status < statusClasses.size(); ++status)
            m_web_requests[std::size_t(route) * StatusClasses + status] = &requests->add(
                {routeName(route).toByteArray(), statusClasses[status].toByteArray()});
        m_web_latency[std::size_t(route)] = &latency->add({routeName(route).toByteArray()});
    }
    for (const Protocol protocol : {Tcp, Udp})
        for (const Direction direction : {In, Out}) {
            const QByteArray p = latin1(protocolName(protocol));
            const QByteArray d = latin1(directionName(direction));
            for (const Result result : results)
                m_tests[index(protocol, direction) * 3 + std::size_t(result)] =
                    &tests->add({p, d, latin1(resultName(result))});
            m_test_duration[index(protocol, direction)] = &duration->add({p, d});
        }
    for (const CheckOutcome outcome : all<CheckOutcome>())
        m_web_checks[std::size_t(outcome)] =
            &checks->add({checkOutcomeName(outcome).toByteArray()});
    for (const Door door : all<Door>()) {
        const QByteArray name = doorName(door).toByteArray();
        m_rate_limited[std::size_t(door)] = &limited->add({name});
        m_idle_evictions[std::size_t(door)] = &evicted->add({name});
        m_open_connections[std::size_t(door)] = &open->add({name});
    }
    m_tests_queued = &queued->add();
    m_tests_running = &running->add();
    m_reserved_ports = &reserved->add();
    m_budget_used = &used->add();
    m_budget_limit = &limit->add();
    return true;
}

Counter &TesterMetrics::webRequestsTotal(Route route, int status)
{
    const int statusClass = std::clamp(status / 100, 2, 5) - 2;
    return *m_web_requests[std::size_t(route) * StatusClasses + std::size_t(statusClass)];
}

Counter &TesterMetrics::testsTotal(Protocol protocol, Direction direction, Result result)
{
    return *m_tests[index(protocol, direction) * 3 + std::size_t(result)];
}

Histogram &TesterMetrics::testDurationSeconds(Protocol protocol, Direction direction)
{
    return *m_test_duration[index(protocol, direction)];
}

QByteArrayView TesterMetrics::doorName(Door door)
{
    static constexpr std::array<QByteArrayView, std::size_t(Door::Count_)> names{"control", "web"};
    return names[std::size_t(door)];
}

QByteArrayView TesterMetrics::refusalName(Refusal reason)
{
    static constexpr std::array<QByteArrayView, std::size_t(Refusal::Count_)> names{
        "paused", "per_address_limit", "descriptors", "threads", "rate_limited"};
    return names[std::size_t(reason)];
}

QByteArrayView TesterMetrics::routeName(Route route)
{
    static constexpr std::array<QByteArrayView, std::size_t(Route::Count_)> names{
        "home", "ip", "port", "check", "other"};
    return names[std::size_t(route)];
}

QByteArrayView TesterMetrics::checkOutcomeName(CheckOutcome outcome)
{
    static constexpr std::array<QByteArrayView, std::size_t(CheckOutcome::Count_)> names{
        "reachable", "refused", "timeout", "unreachable", "local_error", "busy"};
    return names[std::size_t(outcome)];
}
