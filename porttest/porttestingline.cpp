#include "porttest/porttestingline.h"

#include <QRegularExpression>

using namespace Qt::StringLiterals;

std::optional<PortTestingLine> PortTestingLine::parse(const QString &text)
{
    static const QRegularExpression pattern = [] {
        QRegularExpression expression(
            u"(porttesting)\\s+(in|out)\\s+(udp|tcp)\\s+(\\d+)\\s?(timeout|failure|success)?"_s,
            QRegularExpression::CaseInsensitiveOption |
                QRegularExpression::UseUnicodePropertiesOption);
        expression.optimize();
        return expression;
    }();
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    PortTestingLine line;
    line.direction = match.captured(2).toLower().trimmed() == u"out"_s ? 1 : 0;
    line.protocol = match.captured(3).toLower() == u"tcp"_s ? 0 : 1;
    bool fits = false;
    const int port = match.captured(4).toInt(&fits, 10);
    line.port = fits ? port : -1;
    line.status = match.captured(5).toLower().trimmed();
    return line;
}
