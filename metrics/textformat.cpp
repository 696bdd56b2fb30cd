#include "metrics/textformat.h"

#include <charconv>
#include <cmath>

namespace TextFormat {

namespace {
bool isLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

QByteArray escaped(QByteArrayView text, bool quotes)
{
    QByteArray out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' && quotes)
            out += "\\\"";
        else
            out += c;
    }
    return out;
}
} // namespace

bool isMetricName(QByteArrayView name)
{
    if (name.isEmpty() || !(isLetter(name.front()) || name.front() == ':'))
        return false;
    for (const char c : name)
        if (!isLetter(c) && !isDigit(c) && c != ':')
            return false;
    return true;
}

bool isLabelName(QByteArrayView name)
{
    if (name.isEmpty() || !isLetter(name.front()) || name.startsWith("__"))
        return false;
    for (const char c : name)
        if (!isLetter(c) && !isDigit(c))
            return false;
    return true;
}

QByteArray escapeLabelValue(QByteArrayView value)
{
    return escaped(value, true);
}

QByteArray escapeHelp(QByteArrayView text)
{
    return escaped(text, false);
}

QByteArray number(double value)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    // As Prometheus's own clients write them (Go's 'g' with the shortest precision): plain
    // digits unless the exponent is below -4 or from 21 on, so a bucket bound reads "0.0001"
    // and "+Inf" the same from every exporter ("le" is compared as text).
    char text[64];
    const auto scientific =
        std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
    const QByteArrayView written(text, scientific.ptr - text);
    const int exponent = written.sliced(written.indexOf('e') + 1).toInt();
    if (exponent < -4 || exponent >= 21)
        return written.toByteArray();
    const auto fixed = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
    return QByteArray(text, fixed.ptr - text);
}

QByteArray number(quint64 value)
{
    return QByteArray::number(value);
}

QByteArray number(qint64 value)
{
    return QByteArray::number(value);
}

void appendSample(QByteArray &out, QByteArrayView name, QByteArrayView labels, QByteArrayView value)
{
    out += name;
    if (!labels.isEmpty()) {
        out += '{';
        out += labels;
        out += '}';
    }
    out += ' ';
    out += value;
    out += '\n';
}

} // namespace TextFormat
