#include "metrics/gauge.h"

#include "metrics/textformat.h"

void Gauge::writeSamples(QByteArray &out, QByteArrayView name, QByteArrayView labels) const
{
    TextFormat::appendSample(out, name, labels, TextFormat::number(value()));
}
