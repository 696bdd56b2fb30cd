#pragma once

#include <QByteArray>
#include <QByteArrayList>

// One metric name with its HELP and TYPE and the series under it, one per set of label values;
// Family<T> holds the series.
//
// Threading: const members may be called from any thread.
class MetricFamily
{
public:
    enum class Type { Counter, Gauge, Histogram };

    MetricFamily(QByteArray name, QByteArray help, Type type, QByteArrayList labelNames);
    virtual ~MetricFamily();
    MetricFamily(const MetricFamily &) = delete;
    MetricFamily &operator=(const MetricFamily &) = delete;

    const QByteArray &name() const { return m_name; }
    Type type() const { return m_type; }
    const QByteArrayList &labelNames() const { return m_label_names; }
    // The names its sample lines use: a histogram's _bucket, _sum and _count, else its name.
    QByteArrayList sampleNames() const;

    // Whether the name, the label names and the type's conventions are sound: counters end in
    // "_total", histograms have no "le" label, no label name twice.
    bool isWellFormed() const;

    // HELP, TYPE, then every series.
    void write(QByteArray &out) const;

protected:
    // `name="value",...` in the order of the label names; missing values are empty.
    QByteArray labelText(const QByteArrayList &values) const;
    virtual void writeSeries(QByteArray &out) const = 0;

private:
    const QByteArray m_name;
    const QByteArray m_help;
    const Type m_type;
    const QByteArrayList m_label_names;
};
