#include "metrics/counter.h"

#include "metrics/textformat.h"

quint64 Counter::value() const
{
    quint64 sum = 0;
    for (const Slot &slot : m_slots)
        sum += slot.value.load(std::memory_order_relaxed);
    return sum;
}

void Counter::writeSamples(QByteArray &out, QByteArrayView name, QByteArrayView labels) const
{
    TextFormat::appendSample(out, name, labels, TextFormat::number(value()));
}
