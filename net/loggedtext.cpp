#include "net/loggedtext.h"

#include <algorithm>

namespace {
constexpr qsizetype kLoggedLength = 200;

void appendEscaped(QByteArray &out, QStringView text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\\')
            out += "\\\\";
        else if (u == u'\r')
            out += "\\r";
        else if (u == u'\n')
            out += "\\n";
        else if (u == u'\t')
            out += "\\t";
        else if (u < 0x20 || (u >= 0x7f && u < 0xa0) || u == 0x2028 || u == 0x2029)
            out.append("\\x").append(QByteArray::number(u, 16).rightJustified(2, '0'));
        else
            out += QStringView(&c, 1).toUtf8();
    }
}
} // namespace

QByteArray loggedText(QStringView text)
{
    QByteArray out;
    out.reserve(std::min(text.size(), kLoggedLength) + 32);
    appendEscaped(out, text.first(std::min(text.size(), kLoggedLength)));
    if (text.size() > kLoggedLength)
        out.append(" ... (").append(QByteArray::number(text.size())).append(" bytes)");
    return out;
}
