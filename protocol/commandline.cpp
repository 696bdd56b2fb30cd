#include "protocol/commandline.h"

#include "protocol/compiledpattern.h"

using namespace Qt::StringLiterals;

CommandLine CommandLine::parse(const QString &line)
{
    static const QRegularExpression pattern =
        compiledPattern(u"(\\w*)(.*)"_s, QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = pattern.match(line);
    return CommandLine{match.captured(1).toLower(), match.captured(2).trimmed()};
}
