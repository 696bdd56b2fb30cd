#include "server/testportrequest.h"

#include <QRegularExpression>

using namespace Qt::StringLiterals;

std::optional<TestPortRequest> TestPortRequest::parse(const QString &arguments)
{
    static const QRegularExpression pattern = [] {
        QRegularExpression expression(u"(in|out)*\\s*(udp|tcp)\\s+(\\d+)\\s*(\\d*)"_s,
                                      QRegularExpression::CaseInsensitiveOption |
                                          QRegularExpression::UseUnicodePropertiesOption);
        expression.optimize();
        return expression;
    }();
    const QRegularExpressionMatch match = pattern.match(arguments);
    if (!match.hasMatch())
        return std::nullopt;
    // Numbers that do not fit an int read as 0, which no port is.
    const int port = match.captured(3).toInt(nullptr, 10);
    if (port < 1 || port > 65535)
        return std::nullopt;
    const QString direction = match.captured(1).toLower();
    const QString limit = match.captured(4);
    TestPortRequest request;
    request.port = quint16(port);
    request.protocol = match.captured(2).toLower() == u"tcp"_s ? 0 : 1;
    request.direction = direction.isEmpty() || direction == u"in"_s ? 0 : 1;
    request.timeout = limit.isEmpty() ? DefaultTimeout : limit.toInt(nullptr, 10);
    return request;
}
