#include "metrics/histogram.h"

#include "metrics/textformat.h"

#include <algorithm>
#include <cmath>

Histogram::Histogram(std::span<const double> bounds)
    : m_bounds(bounds.begin(), bounds.end()),
      m_lines_per_slot((m_bounds.size() + 1 + Line::Width - 1) / Line::Width),
      m_lines(std::make_unique<Line[]>(m_lines_per_slot * MetricShard::Count))
{
    Q_ASSERT(std::is_sorted(m_bounds.begin(), m_bounds.end()));
}

std::atomic<quint64> &Histogram::count(std::size_t slot, std::size_t bucket) const
{
    Line &line = m_lines[slot * m_lines_per_slot + bucket / Line::Width];
    return line.counts[bucket % Line::Width];
}

void Histogram::observe(double value)
{
    if (std::isnan(value))
        return;
    // The first bound the value does not exceed; past the last: +Inf.
    const auto bound = std::lower_bound(m_bounds.begin(), m_bounds.end(), value);
    const std::size_t slot = MetricShard::index();
    count(slot, std::size_t(bound - m_bounds.begin())).fetch_add(1, std::memory_order_relaxed);
    m_sums[slot].value.fetch_add(value, std::memory_order_relaxed);
}

Histogram::Snapshot Histogram::snapshot() const
{
    Snapshot snapshot;
    quint64 running = 0;
    for (std::size_t bucket = 0; bucket <= m_bounds.size(); ++bucket) {
        for (std::size_t slot = 0; slot < MetricShard::Count; ++slot)
            running += count(slot, bucket).load(std::memory_order_relaxed);
        snapshot.cumulative.append(running);
    }
    snapshot.count = running;
    for (const Sum &sum : m_sums)
        snapshot.sum += sum.value.load(std::memory_order_relaxed);
    return snapshot;
}

void Histogram::writeSamples(QByteArray &out, QByteArrayView name, QByteArrayView labels) const
{
    const Snapshot taken = snapshot();
    const QByteArray bucketName = QByteArray(name + QByteArrayView("_bucket"));
    const QByteArray prefix =
        labels.isEmpty() ? QByteArray() : QByteArray(labels + QByteArrayView(","));
    for (qsizetype i = 0; i < taken.cumulative.size(); ++i) {
        const double bound = std::size_t(i) < m_bounds.size() ? m_bounds[std::size_t(i)] : INFINITY;
        TextFormat::appendSample(out, bucketName,
                                 QByteArray(prefix + "le=\"" + TextFormat::number(bound) + '"'),
                                 TextFormat::number(taken.cumulative[i]));
    }
    TextFormat::appendSample(out, QByteArray(name + QByteArrayView("_sum")), labels,
                             TextFormat::number(taken.sum));
    TextFormat::appendSample(out, QByteArray(name + QByteArrayView("_count")), labels,
                             TextFormat::number(taken.count));
}
