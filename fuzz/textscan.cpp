#include "fuzz/textscan.h"

#include <limits>

bool TextScan::isWordChar(QChar c)
{
    const char16_t u = c.unicode();
    if (u < 0x80)
        return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') ||
               u == u'_';
    if (u <= 0xff) {
        // Latin-1: ª µ º and the accented letters are letters; ² ³ ¹ ¼ ½ ¾ are numbers.
        return u == 0xaa || u == 0xb2 || u == 0xb3 || u == 0xb5 || u == 0xb9 || u == 0xba ||
               (u >= 0xbc && u <= 0xbe) || (u >= 0xc0 && u != 0xd7 && u != 0xf7);
    }
    return c.isLetterOrNumber() || c.isMark() || u == u'_';
}

bool TextScan::isSpace(QChar c)
{
    const char16_t u = c.unicode();
    if (u <= 0xff)
        return u == u' ' || (u >= 0x09 && u <= 0x0d) || u == 0x85 || u == 0xa0;
    return c.isSpace();
}

bool TextScan::isDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u <= 0xff)
        return u >= u'0' && u <= u'9';
    return c.isDigit();
}

bool TextScan::hasWordAt(QStringView text, qsizetype position, QStringView word)
{
    if (position < 0 || position + word.size() > text.size())
        return false;
    for (qsizetype i = 0; i < word.size(); ++i) {
        const char16_t u = text[position + i].unicode();
        const char16_t lower = (u >= u'A' && u <= u'Z') ? char16_t(u + (u'a' - u'A')) : u;
        if (lower != word[i].unicode())
            return false;
    }
    return true;
}

qsizetype TextScan::skipSpaces(QStringView text, qsizetype position)
{
    while (position < text.size() && isSpace(text[position]))
        ++position;
    return position;
}

qsizetype TextScan::skipDigits(QStringView text, qsizetype position)
{
    while (position < text.size() && isDigit(text[position]))
        ++position;
    return position;
}

QStringView TextScan::trimmed(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isSpace(text[begin]))
        ++begin;
    while (end > begin && isSpace(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

std::optional<int> TextScan::toInt(QStringView digits)
{
    if (digits.isEmpty())
        return std::nullopt;
    qsizetype first = 0;
    while (first + 1 < digits.size() && digits[first] == u'0')
        ++first;
    // More than ten significant digits never fit; ten may.
    if (digits.size() - first > 10)
        return std::nullopt;
    qint64 value = 0;
    for (qsizetype i = first; i < digits.size(); ++i)
        value = value * 10 + (digits[i].unicode() - u'0');
    if (value > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(value);
}
