#include "server/commandline.h"

#include <QRegularExpression>

using namespace Qt::StringLiterals;

CommandLine CommandLine::parse(const QString &line)
{
    // Unicode properties make \w match letters, digits, marks and underscore of Latin-1 input.
    // Compiled once; matching a compiled pattern from several threads is read-only.
    static const QRegularExpression pattern = [] {
        QRegularExpression expression(u"(\\w*)(.*)"_s,
                                      QRegularExpression::DotMatchesEverythingOption |
                                          QRegularExpression::UseUnicodePropertiesOption);
        expression.optimize();
        return expression;
    }();
    const QRegularExpressionMatch match = pattern.match(line);
    return CommandLine{match.captured(1).toLower(), match.captured(2).trimmed()};
}
