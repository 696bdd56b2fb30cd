#pragma once

#include <QStringView>

#include <optional>

// Hand-written readers of the protocol's character classes and numbers. They do not use regular
// expressions, so the fuzzers can hold the parsers' patterns against them.
class TextScan
{
public:
    // \w with Unicode properties: letters, numbers, marks and underscore.
    static bool isWordChar(QChar c);
    // \s with Unicode properties; also what QString::trimmed removes.
    static bool isSpace(QChar c);
    // \d with Unicode properties; in Latin-1 only the ASCII digits.
    static bool isDigit(QChar c);

    // Whether the ASCII word (lower case) stands at the position, in any letter case.
    static bool hasWordAt(QStringView text, qsizetype position, QStringView word);
    // The position after the run of white space (or digits) that starts at the position.
    static qsizetype skipSpaces(QStringView text, qsizetype position);
    static qsizetype skipDigits(QStringView text, qsizetype position);
    // The text without white space at either end.
    static QStringView trimmed(QStringView text);

    // A run of decimal digits as a signed 32-bit number; empty when it does not fit.
    static std::optional<int> toInt(QStringView digits);
};
