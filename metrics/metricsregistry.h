#pragma once

#include "metrics/callbackvalue.h"
#include "metrics/counter.h"
#include "metrics/family.h"
#include "metrics/gauge.h"
#include "metrics/histogram.h"

#include <QByteArray>
#include <QByteArrayList>

#include <memory>
#include <mutex>
#include <span>
#include <vector>

// The process's metric families, rendered as one scrape in Prometheus's text format (version
// 0.0.4). The application makes one and hands it to the parts that count; there is no global
// one.
//
// A family is registered once; a name that is malformed, breaks the type's conventions or
// collides with a sample name already registered (a histogram takes name_bucket, name_sum and
// name_count) is refused with nullptr, so one scrape never carries a name twice.
//
// Threading: any thread; registering and rendering take the registry's lock, counting through
// the series does not touch it.
class MetricsRegistry
{
public:
    MetricsRegistry();
    ~MetricsRegistry();
    MetricsRegistry(const MetricsRegistry &) = delete;
    MetricsRegistry &operator=(const MetricsRegistry &) = delete;

    Family<Counter> *counter(const QByteArray &name, const QByteArray &help,
                             const QByteArrayList &labelNames = {});
    Family<Gauge> *gauge(const QByteArray &name, const QByteArray &help,
                         const QByteArrayList &labelNames = {});
    // Read at each scrape: a gauge, or a counter kept by someone else (CPU seconds).
    Family<CallbackValue> *callbackGauge(const QByteArray &name, const QByteArray &help,
                                         const QByteArrayList &labelNames = {});
    Family<CallbackValue> *callbackCounter(const QByteArray &name, const QByteArray &help,
                                           const QByteArrayList &labelNames = {});
    // `bounds`: the buckets' upper bounds, strictly ascending and finite.
    Family<Histogram> *histogram(const QByteArray &name, const QByteArray &help,
                                 const QByteArrayList &labelNames, std::span<const double> bounds);

    // Every family in the order of registration.
    QByteArray render() const;

private:
    template<class T> Family<T> *add(std::unique_ptr<Family<T>> family);

    mutable std::mutex m_mutex; // guards m_families
    std::vector<std::unique_ptr<MetricFamily>> m_families;
};
