#pragma once

#include "metrics/metricshard.h"

#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <atomic>

// A count that only grows. inc() is one relaxed atomic add on the calling thread's own cache
// line: no lock, no line shared with other threads of the doors.
//
// Threading: any thread.
class Counter
{
public:
    void inc(quint64 by = 1)
    {
        m_slots[MetricShard::index()].value.fetch_add(by, std::memory_order_relaxed);
    }
    quint64 value() const;

    // The sample line of this series (`labels`: escaped, between the braces).
    void writeSamples(QByteArray &out, QByteArrayView name, QByteArrayView labels) const;

private:
    struct alignas(MetricShard::CacheLine) Slot
    {
        std::atomic<quint64> value = 0;
    };
    std::array<Slot, MetricShard::Count> m_slots;
};
