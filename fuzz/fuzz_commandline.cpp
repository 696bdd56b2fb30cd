// Fuzzes the control connection's command lines from raw bytes: the handler's framing and
// Latin-1 reading, the split into command word and arguments, and the "testport" arguments.

#include "fuzz/framedinput.h"
#include "fuzz/fuzzcheck.h"
#include "fuzz/textscan.h"
#include "protocol/commandline.h"
#include "protocol/controlprotocol.h"
#include "protocol/testportrequest.h"

#include <cstddef>
#include <cstdint>

using namespace Qt::StringLiterals;

// Found by argument lookup from std::optional's comparison, so outside the unnamed namespace.
static bool operator==(const CommandLine &a, const CommandLine &b)
{
    return a.command == b.command && a.arguments == b.arguments;
}

static bool operator==(const TestPortRequest &a, const TestPortRequest &b)
{
    return a.port == b.port && a.protocol == b.protocol && a.direction == b.direction &&
           a.timeout == b.timeout;
}

namespace {

// The command word is the leading run of word characters, the arguments the trimmed rest.
CommandLine referenceCommandLine(QStringView part)
{
    qsizetype end = 0;
    while (end < part.size() && TextScan::isWordChar(part[end]))
        ++end;
    return CommandLine{part.first(end).toString().toLower(),
                       TextScan::trimmed(part.sliced(end)).toString()};
}

// What "(in|out)*\s*(udp|tcp)\s+(\d+)\s*(\d*)" finds: the first "tcp" or "udp" followed by
// white space and digits decides. The leftmost match takes in the run of "in"/"out" words and
// white space before it, whose last word, if it stands right before the white space, is the
// direction.
std::optional<TestPortRequest> referenceTestPort(QStringView text)
{
    constexpr qsizetype wordLength = 3; // "tcp" and "udp"
    for (qsizetype at = 0; at + wordLength <= text.size(); ++at) {
        const bool tcp = TextScan::hasWordAt(text, at, u"tcp");
        if (!tcp && !TextScan::hasWordAt(text, at, u"udp"))
            continue;
        const qsizetype portStart = TextScan::skipSpaces(text, at + wordLength);
        const qsizetype portEnd = TextScan::skipDigits(text, portStart);
        if (portStart == at + wordLength || portEnd == portStart)
            continue;
        const int port = TextScan::toInt(text.sliced(portStart, portEnd - portStart)).value_or(0);
        if (port < 1 || port > 65535)
            return std::nullopt;
        const qsizetype limitStart = TextScan::skipSpaces(text, portEnd);
        const qsizetype limitEnd = TextScan::skipDigits(text, limitStart);
        qsizetype beforeSpace = at;
        while (beforeSpace > 0 && TextScan::isSpace(text[beforeSpace - 1]))
            --beforeSpace;
        TestPortRequest request;
        request.port = quint16(port);
        request.protocol = tcp ? ControlProtocol::Tcp : ControlProtocol::Udp;
        request.direction = TextScan::hasWordAt(text, beforeSpace - 3, u"out")
                                ? ControlProtocol::Out
                                : ControlProtocol::In;
        if (limitEnd != limitStart)
            request.timeout =
                TextScan::toInt(text.sliced(limitStart, limitEnd - limitStart)).value_or(0);
        return request;
    }
    return std::nullopt;
}

void checkTestPort(const QString &arguments)
{
    const std::optional<TestPortRequest> request = TestPortRequest::parse(arguments);
    const std::optional<TestPortRequest> again = TestPortRequest::parse(arguments);
    FUZZ_CHECK(request == again);
    FUZZ_CHECK(request == referenceTestPort(arguments));
    if (!request)
        return;
    FUZZ_CHECK(request->port >= 1); // quint16 keeps it at or below 65535
    FUZZ_CHECK(request->protocol == ControlProtocol::Tcp ||
               request->protocol == ControlProtocol::Udp);
    FUZZ_CHECK(request->direction == ControlProtocol::In ||
               request->direction == ControlProtocol::Out);
    FUZZ_CHECK(request->timeout >= 0);

    // The request written out as the requesting side writes it reads back the same, its
    // arguments also in capitals and after a command word in capitals.
    const CommandLine line = CommandLine::parse(ControlProtocol::testPortLine(
        request->direction, request->protocol, request->port, request->timeout));
    FUZZ_CHECK(line.command == ControlProtocol::TestPortWord);
    FUZZ_CHECK(TestPortRequest::parse(line.arguments) == request);
    FUZZ_CHECK(TestPortRequest::parse(line.arguments.toUpper()) == request);
    const CommandLine upper = CommandLine::parse(u"TESTPORT "_s + line.arguments + u"\n"_s);
    FUZZ_CHECK(upper.command == ControlProtocol::TestPortWord && upper.arguments == line.arguments);
}

void checkPart(const QString &part)
{
    // Framing: the CR LF is gone; a bare LF can only be the last character.
    FUZZ_CHECK(!part.isEmpty() && !part.contains(u"\r\n"_s));
    FUZZ_CHECK(!part.first(part.size() - 1).contains(u'\n'));

    const CommandLine line = CommandLine::parse(part);
    FUZZ_CHECK(line == CommandLine::parse(part));
    FUZZ_CHECK(line == referenceCommandLine(part));
    FUZZ_CHECK(line.command == line.command.toLower());
    for (const QChar c : line.command)
        FUZZ_CHECK(TextScan::isWordChar(c));
    FUZZ_CHECK(line.arguments.isEmpty() || (!TextScan::isSpace(line.arguments.front()) &&
                                            !TextScan::isSpace(line.arguments.back())));
    FUZZ_CHECK(line.arguments == line.arguments.trimmed());

    // Word and arguments joined by one blank are a line that reads the same.
    FUZZ_CHECK(CommandLine::parse(line.command + u' ' + line.arguments) == line);

    if (line.command == ControlProtocol::TestPortWord && !line.arguments.isEmpty())
        checkTestPort(line.arguments);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const QString &part : FramedInput::parts(bytes))
        checkPart(part);
    return 0;
}
