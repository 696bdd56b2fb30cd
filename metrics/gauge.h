#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <atomic>

// A level that goes up and down (open connections, queued tests): one relaxed atomic. Its
// changes come with connections and tests, far rarer than requests, so one shared line is cheap.
//
// Threading: any thread.
class Gauge
{
public:
    void set(qint64 value) { m_value.store(value, std::memory_order_relaxed); }
    void inc(qint64 by = 1) { m_value.fetch_add(by, std::memory_order_relaxed); }
    void dec(qint64 by = 1) { m_value.fetch_sub(by, std::memory_order_relaxed); }
    qint64 value() const { return m_value.load(std::memory_order_relaxed); }

    void writeSamples(QByteArray &out, QByteArrayView name, QByteArrayView labels) const;

private:
    std::atomic<qint64> m_value = 0;
};
