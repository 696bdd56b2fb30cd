#include "metrics/metricsregistry.h"

#include <algorithm>
#include <cmath>
#include <functional>

MetricsRegistry::MetricsRegistry() = default;
MetricsRegistry::~MetricsRegistry() = default;

template<class T> Family<T> *MetricsRegistry::add(std::unique_ptr<Family<T>> family)
{
    if (!family->isWellFormed())
        return nullptr;
    const QByteArrayList wanted = family->sampleNames();
    const std::lock_guard lock(m_mutex);
    for (const auto &existing : m_families)
        for (const QByteArray &name : existing->sampleNames())
            if (wanted.contains(name))
                return nullptr;
    Family<T> *added = family.get();
    m_families.push_back(std::move(family));
    return added;
}

Family<Counter> *MetricsRegistry::counter(const QByteArray &name, const QByteArray &help,
                                          const QByteArrayList &labelNames)
{
    return add(std::make_unique<Family<Counter>>(name, help, MetricFamily::Type::Counter,
                                                 labelNames,
                                                 [] { return std::make_unique<Counter>(); }));
}

Family<Gauge> *MetricsRegistry::gauge(const QByteArray &name, const QByteArray &help,
                                      const QByteArrayList &labelNames)
{
    return add(std::make_unique<Family<Gauge>>(name, help, MetricFamily::Type::Gauge, labelNames,
                                               [] { return std::make_unique<Gauge>(); }));
}

Family<CallbackValue> *MetricsRegistry::callbackGauge(const QByteArray &name,
                                                      const QByteArray &help,
                                                      const QByteArrayList &labelNames)
{
    return add(
        std::make_unique<Family<CallbackValue>>(name, help, MetricFamily::Type::Gauge, labelNames,
                                                [] { return std::make_unique<CallbackValue>(); }));
}

Family<CallbackValue> *MetricsRegistry::callbackCounter(const QByteArray &name,
                                                        const QByteArray &help,
                                                        const QByteArrayList &labelNames)
{
    return add(
        std::make_unique<Family<CallbackValue>>(name, help, MetricFamily::Type::Counter, labelNames,
                                                [] { return std::make_unique<CallbackValue>(); }));
}

Family<Histogram> *MetricsRegistry::histogram(const QByteArray &name, const QByteArray &help,
                                              const QByteArrayList &labelNames,
                                              std::span<const double> bounds)
{
    // Strictly ascending: two buckets with one bound would be one "le" twice.
    if (std::adjacent_find(bounds.begin(), bounds.end(), std::greater_equal<double>()) !=
            bounds.end() ||
        std::any_of(bounds.begin(), bounds.end(), [](double b) { return !std::isfinite(b); }))
        return nullptr;
    std::vector<double> copy(bounds.begin(), bounds.end());
    return add(
        std::make_unique<Family<Histogram>>(name, help, MetricFamily::Type::Histogram, labelNames,
                                            [copy] { return std::make_unique<Histogram>(copy); }));
}

QByteArray MetricsRegistry::render() const
{
    QByteArray out;
    const std::lock_guard lock(m_mutex);
    for (const auto &family : m_families)
        family->write(out);
    return out;
}
