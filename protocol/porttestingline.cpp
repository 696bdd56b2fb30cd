#include "protocol/porttestingline.h"

#include "protocol/compiledpattern.h"

using namespace Qt::StringLiterals;

namespace {
std::optional<ControlProtocol::Result> resultNamed(QStringView name)
{
    for (const auto result : {ControlProtocol::Result::Success, ControlProtocol::Result::Failure,
                              ControlProtocol::Result::Timeout}) {
        if (name.compare(ControlProtocol::resultName(result), Qt::CaseInsensitive) == 0)
            return result;
    }
    return std::nullopt;
}
} // namespace

std::optional<PortTestingLine> PortTestingLine::parse(const QString &text)
{
    // The whole text is the line: anything before it, or after its port or result, makes it no
    // line at all, so nothing a client appends is taken (or logged) as part of a valid report.
    // Only a failure carries more: its reason, the rest of the line after the result word.
    static const QRegularExpression pattern = compiledPattern(
        u"\\A\\s*(porttesting)\\s+(in|out)\\s+(udp|tcp)\\s+(\\d+)"
        u"(?:\\s?(?:(timeout|success)|(failure)[\\s:]*(.*)))?\\s*\\z"_s,
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    PortTestingLine line;
    line.direction = ControlProtocol::directionNamed(match.capturedView(2));
    line.protocol = ControlProtocol::protocolNamed(match.capturedView(3));
    bool fits = false;
    const int port = match.capturedView(4).toInt(&fits, 10);
    line.port = fits ? port : -1;
    line.result = resultNamed(match.capturedView(match.hasCaptured(6) ? 6 : 5));
    line.reason = match.captured(7).trimmed();
    return line;
}

QString PortTestingLine::text() const
{
    return result ? ControlProtocol::resultLine(direction, protocol, port, *result)
                  : ControlProtocol::goLine(direction, protocol, port);
}
