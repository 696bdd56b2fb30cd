#pragma once

#include "metrics/metricshard.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <array>
#include <atomic>
#include <memory>
#include <span>
#include <vector>

// How observed values (durations in seconds) spread over fixed buckets. observe() finds the
// bucket among a dozen bounds and makes two relaxed atomic adds on the calling thread's own
// slot; no lock.
//
// Threading: any thread.
class Histogram
{
public:
    // `bounds`: the buckets' upper bounds, ascending and finite; +Inf is added.
    explicit Histogram(std::span<const double> bounds);

    // A NaN is not counted: it belongs to no bucket and would make the sum NaN for good.
    void observe(double value);

    struct Snapshot
    {
        QList<quint64> cumulative; // per bound, then +Inf
        quint64 count = 0;         // the +Inf bucket
        double sum = 0;
    };
    // Read while others observe, the buckets and the sum may be one observation apart; the
    // count is the +Inf bucket's, so the two always agree.
    Snapshot snapshot() const;
    const std::vector<double> &bounds() const { return m_bounds; }

    // The _bucket lines (le appended to `labels`), _sum and _count.
    void writeSamples(QByteArray &out, QByteArrayView name, QByteArrayView labels) const;

private:
    struct alignas(MetricShard::CacheLine) Line
    {
        static constexpr std::size_t Width = MetricShard::CacheLine / sizeof(std::atomic<quint64>);
        std::array<std::atomic<quint64>, Width> counts{};
    };
    struct alignas(MetricShard::CacheLine) Sum
    {
        std::atomic<double> value = 0;
    };
    std::atomic<quint64> &count(std::size_t slot, std::size_t bucket) const;

    std::vector<double> m_bounds;
    std::size_t m_lines_per_slot = 0;
    std::unique_ptr<Line[]> m_lines; // per slot: one count per bucket, +Inf last
    std::array<Sum, MetricShard::Count> m_sums;
};
