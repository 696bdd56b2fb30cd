#pragma once

#include "metrics/metricfamily.h"

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// A family whose series are metrics of type T (Counter, Gauge, CallbackValue, Histogram). The
// series are made once, at setup, with add(); callers keep the reference it returns and count
// through it without any lookup or lock.
//
// Threading: any thread; add() and rendering take the family's lock, counting does not.
template<class T> class Family final : public MetricFamily
{
public:
    Family(QByteArray name, QByteArray help, Type type, QByteArrayList labelNames,
           std::function<std::unique_ptr<T>()> make)
        : MetricFamily(std::move(name), std::move(help), type, std::move(labelNames)),
          m_make(std::move(make))
    {
    }

    // The series with these label values (in the order of the label names), made on first
    // use; the reference lives as long as the family.
    T &add(const QByteArrayList &labelValues = {})
    {
        Q_ASSERT(labelValues.size() == labelNames().size());
        const QByteArray labels = labelText(labelValues);
        const std::lock_guard lock(m_mutex);
        for (const Series &series : m_series)
            if (series.labels == labels)
                return *series.metric;
        m_series.push_back({labels, m_make()});
        return *m_series.back().metric;
    }

private:
    struct Series
    {
        QByteArray labels;
        std::unique_ptr<T> metric;
    };

    void writeSeries(QByteArray &out) const override
    {
        const std::lock_guard lock(m_mutex);
        for (const Series &series : m_series)
            series.metric->writeSamples(out, name(), series.labels);
    }

    const std::function<std::unique_ptr<T>()> m_make;
    mutable std::mutex m_mutex; // guards m_series (not the metrics in it)
    std::vector<Series> m_series;
};
