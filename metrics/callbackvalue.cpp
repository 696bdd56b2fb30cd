#include "metrics/callbackvalue.h"

#include "metrics/textformat.h"

void CallbackValue::setSource(std::function<double()> source)
{
    const std::lock_guard lock(m_mutex);
    m_source = std::move(source);
}

std::optional<double> CallbackValue::value() const
{
    const std::lock_guard lock(m_mutex);
    if (!m_source)
        return std::nullopt;
    return m_source();
}

void CallbackValue::writeSamples(QByteArray &out, QByteArrayView name, QByteArrayView labels) const
{
    if (const std::optional<double> read = value())
        TextFormat::appendSample(out, name, labels, TextFormat::number(*read));
}
