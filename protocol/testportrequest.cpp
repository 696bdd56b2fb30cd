#include "protocol/testportrequest.h"

#include "protocol/compiledpattern.h"

using namespace Qt::StringLiterals;

std::optional<TestPortRequest> TestPortRequest::parse(const QString &arguments)
{
    // The request's grammar is "(in|out)*\s*(udp|tcp)\s+(\d+)\s*(\d*)", searched anywhere. Its
    // leading "(in|out)*\s*" is not searched for: it can match at every position of a long run
    // of blanks or of "in"s, which took seconds for one long line. What it captured is the "in"
    // or "out" right before the blanks that precede the protocol, read below.
    static const QRegularExpression pattern = compiledPattern(
        u"(udp|tcp)\\s+(\\d+)\\s*(\\d*)"_s, QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(arguments);
    if (!match.hasMatch())
        return std::nullopt;
    // Numbers that do not fit an int read as 0, which no port is.
    const int port = match.captured(2).toInt(nullptr, 10);
    if (port < 1 || port > 65535)
        return std::nullopt;
    const QStringView before = QStringView(arguments).first(match.capturedStart(1)).trimmed();
    const QString limit = match.captured(3);
    TestPortRequest request;
    request.port = quint16(port);
    request.protocol = ControlProtocol::protocolNamed(match.capturedView(1));
    request.direction =
        before.endsWith(u"out"_s, Qt::CaseInsensitive) ? ControlProtocol::Out : ControlProtocol::In;
    if (!limit.isEmpty())
        request.timeout = limit.toInt(nullptr, 10);
    return request;
}
