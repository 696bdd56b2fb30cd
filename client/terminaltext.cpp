#include "client/terminaltext.h"

#include <algorithm>

using namespace Qt::StringLiterals;

bool TerminalText::needsEscape(QChar c)
{
    const char16_t code = c.unicode();
    return code < 0x20 || (code >= 0x7f && code <= 0x9f) || code == u'\\';
}

QString TerminalText::escaped(const QString &text)
{
    if (std::none_of(text.begin(), text.end(), needsEscape))
        return text;
    QString result;
    result.reserve(text.size() + 8);
    for (const QChar c : text) {
        if (c == u'\\')
            result += u"\\\\"_s;
        else if (needsEscape(c))
            result += u"\\x%1"_s.arg(int(c.unicode()), 2, 16, QChar(u'0'));
        else
            result += c;
    }
    return result;
}
