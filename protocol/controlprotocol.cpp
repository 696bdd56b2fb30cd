#include "protocol/controlprotocol.h"

using namespace Qt::StringLiterals;

namespace ControlProtocol {

QString protocolName(Protocol protocol)
{
    return protocol == Tcp ? u"tcp"_s : u"udp"_s;
}

QString directionName(Direction direction)
{
    return direction == In ? u"in"_s : u"out"_s;
}

QString resultName(Result result)
{
    switch (result) {
    case Result::Success:
        return u"success"_s;
    case Result::Failure:
        return u"failure"_s;
    case Result::Timeout:
        break;
    }
    return u"timeout"_s;
}

Protocol protocolNamed(QStringView name)
{
    return name.compare(u"tcp"_s, Qt::CaseInsensitive) == 0 ? Tcp : Udp;
}

Direction directionNamed(QStringView name)
{
    return name.compare(u"out"_s, Qt::CaseInsensitive) == 0 ? Out : In;
}

Direction opposite(Direction direction)
{
    return direction == In ? Out : In;
}

QString goLine(Direction direction, Protocol protocol, int port)
{
    return PortTestingWord + u' ' + directionName(direction) + u' ' + protocolName(protocol) +
           u' ' + QString::number(port);
}

QString resultLine(Direction direction, Protocol protocol, int port, Result result)
{
    return goLine(direction, protocol, port) + u' ' + resultName(result);
}

QString testPortLine(Direction direction, Protocol protocol, int port, int timeLimitMs)
{
    return TestPortWord + u' ' + directionName(direction) + u' ' + protocolName(protocol) + u' ' +
           QString::number(port) + u' ' + QString::number(timeLimitMs);
}

QString publicIpLine(const QString &address)
{
    return PublicIpPrefix + address;
}

QString rateLimitedLine(int seconds)
{
    return RateLimitedWord + u' ' + QString::number(seconds);
}

std::optional<int> rateLimitedSeconds(QStringView line)
{
    const QStringView text = line.trimmed();
    if (!text.startsWith(RateLimitedWord, Qt::CaseInsensitive))
        return std::nullopt;
    const QStringView number = text.sliced(RateLimitedWord.size()).trimmed();
    bool ok = false;
    const int seconds = number.toInt(&ok, 10);
    if (!ok || seconds < 0 || number.size() == text.size() - RateLimitedWord.size())
        return std::nullopt;
    return seconds;
}

QByteArray wireLine(QStringView line)
{
    const QStringView bare = line.endsWith(LineEnd) ? line.chopped(LineEnd.size()) : line;
    return bare.toLatin1().append(LineEnd.data(), LineEnd.size());
}

} // namespace ControlProtocol
