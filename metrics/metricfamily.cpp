#include "metrics/metricfamily.h"

#include "metrics/textformat.h"

#include <QSet>

MetricFamily::MetricFamily(QByteArray name, QByteArray help, Type type, QByteArrayList labelNames)
    : m_name(std::move(name)), m_help(std::move(help)), m_type(type),
      m_label_names(std::move(labelNames))
{
}

MetricFamily::~MetricFamily() = default;

QByteArrayList MetricFamily::sampleNames() const
{
    if (m_type != Type::Histogram)
        return {m_name};
    return {m_name + "_bucket", m_name + "_sum", m_name + "_count"};
}

bool MetricFamily::isWellFormed() const
{
    if (!TextFormat::isMetricName(m_name))
        return false;
    if (m_type == Type::Counter && !m_name.endsWith("_total"))
        return false;
    QSet<QByteArray> seen;
    for (const QByteArray &label : m_label_names) {
        if (!TextFormat::isLabelName(label) || seen.contains(label))
            return false;
        if (m_type == Type::Histogram && label == "le")
            return false;
        seen.insert(label);
    }
    return true;
}

void MetricFamily::write(QByteArray &out) const
{
    static constexpr const char *typeNames[] = {"counter", "gauge", "histogram"};
    out += "# HELP " + m_name + ' ' + TextFormat::escapeHelp(m_help) + '\n';
    out += "# TYPE " + m_name + ' ' + typeNames[int(m_type)] + '\n';
    writeSeries(out);
}

QByteArray MetricFamily::labelText(const QByteArrayList &values) const
{
    QByteArray text;
    for (qsizetype i = 0; i < m_label_names.size(); ++i) {
        if (i > 0)
            text += ',';
        text += m_label_names[i] + "=\"" +
                TextFormat::escapeLabelValue(i < values.size() ? values[i] : QByteArray()) + '"';
    }
    return text;
}
