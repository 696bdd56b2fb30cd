#pragma once

#include <QByteArray>
#include <QByteArrayView>

// The pieces of Prometheus's text exposition format (version 0.0.4) that need care: names,
// escaping and numbers.
namespace TextFormat {

// The type the scrape answer announces.
inline constexpr QByteArrayView ContentType("text/plain; version=0.0.4");

// [a-zA-Z_:][a-zA-Z0-9_:]*
bool isMetricName(QByteArrayView name);
// [a-zA-Z_][a-zA-Z0-9_]*, and not starting with "__" (reserved for Prometheus itself).
bool isLabelName(QByteArrayView name);

// A label value between its quotes: backslash, double quote and line feed escaped.
QByteArray escapeLabelValue(QByteArrayView value);
// A HELP text: backslash and line feed escaped.
QByteArray escapeHelp(QByteArrayView text);

// The shortest text that reads back as the same double; "+Inf", "-Inf", "NaN".
QByteArray number(double value);
QByteArray number(quint64 value);
QByteArray number(qint64 value);

// One sample line, "name{labels} value"; `labels` is what goes between the braces, already
// escaped (none: no braces).
void appendSample(QByteArray &out, QByteArrayView name, QByteArrayView labels,
                  QByteArrayView value);

} // namespace TextFormat
