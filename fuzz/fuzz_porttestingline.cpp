// Fuzzes the reading of "porttesting" lines: any text as a running test may get it, and the lines
// the client handler rebuilds from a control connection's raw bytes.

#include "fuzz/framedinput.h"
#include "fuzz/fuzzcheck.h"
#include "fuzz/textscan.h"
#include "protocol/commandline.h"
#include "protocol/porttestingline.h"

#include <cstddef>
#include <cstdint>
#include <utility>

using namespace Qt::StringLiterals;

// Found by argument lookup from std::optional's comparison, so outside the unnamed namespace.
static bool operator==(const PortTestingLine &a, const PortTestingLine &b)
{
    return a.direction == b.direction && a.protocol == b.protocol && a.port == b.port &&
           a.result == b.result;
}

namespace {

using ControlProtocol::Result;

// A whole "porttesting" line, white space around it aside: the word, direction, protocol and
// port, then nothing, or a result after at most one white-space character; only a failure may
// be followed by more (its reason).
std::optional<PortTestingLine> referencePortTestingLine(QStringView text)
{
    constexpr QStringView word = u"porttesting";
    const auto onlySpacesFrom = [&](qsizetype from) {
        return TextScan::skipSpaces(text, from) == text.size();
    };
    const qsizetype at = TextScan::skipSpaces(text, 0);
    if (!TextScan::hasWordAt(text, at, word))
        return std::nullopt;
    qsizetype position = TextScan::skipSpaces(text, at + word.size());
    if (position == at + word.size())
        return std::nullopt;
    PortTestingLine line;
    if (TextScan::hasWordAt(text, position, u"in")) {
        line.direction = ControlProtocol::In;
        position += 2;
    } else if (TextScan::hasWordAt(text, position, u"out")) {
        line.direction = ControlProtocol::Out;
        position += 3;
    } else {
        return std::nullopt;
    }
    qsizetype next = TextScan::skipSpaces(text, position);
    if (next == position)
        return std::nullopt;
    position = next;
    if (TextScan::hasWordAt(text, position, u"tcp"))
        line.protocol = ControlProtocol::Tcp;
    else if (TextScan::hasWordAt(text, position, u"udp"))
        line.protocol = ControlProtocol::Udp;
    else
        return std::nullopt;
    next = TextScan::skipSpaces(text, position + 3);
    if (next == position + 3)
        return std::nullopt;
    position = next;
    next = TextScan::skipDigits(text, position);
    if (next == position)
        return std::nullopt;
    line.port = TextScan::toInt(text.sliced(position, next - position)).value_or(-1);
    position = next;
    if (onlySpacesFrom(position))
        return line;
    if (TextScan::isSpace(text[position]))
        ++position;
    const std::pair<QStringView, Result> results[] = {{u"timeout", Result::Timeout},
                                                      {u"failure", Result::Failure},
                                                      {u"success", Result::Success}};
    for (const auto &[name, result] : results) {
        if (TextScan::hasWordAt(text, position, name))
            line.result = result;
    }
    if (!line.result || (line.result != Result::Failure && !onlySpacesFrom(position + 7)))
        return std::nullopt;
    return line;
}

QString render(const PortTestingLine &line)
{
    // Eleven digits never fit, so they stand for a port that did not fit.
    const QString port = line.port < 0 ? u"99999999999"_s : QString::number(line.port);
    QString text = u"porttesting "_s +
                   (line.direction == ControlProtocol::Out ? u"out "_s : u"in "_s) +
                   (line.protocol == ControlProtocol::Tcp ? u"tcp "_s : u"udp "_s) + port;
    if (line.result)
        text += u' ' + ControlProtocol::resultName(*line.result);
    return text;
}

void checkText(const QString &text)
{
    const std::optional<PortTestingLine> line = PortTestingLine::parse(text);
    FUZZ_CHECK(line == PortTestingLine::parse(text));
    FUZZ_CHECK(line == referencePortTestingLine(text));
    if (!line)
        return;
    FUZZ_CHECK(line->direction == ControlProtocol::In || line->direction == ControlProtocol::Out);
    FUZZ_CHECK(line->protocol == ControlProtocol::Tcp || line->protocol == ControlProtocol::Udp);
    FUZZ_CHECK(line->port >= -1);

    // The line written out plainly reads back the same, in capitals too; with two blanks before
    // the result, it is no line.
    const QString rendered = render(*line);
    FUZZ_CHECK(line->port < 0 || line->text() == rendered);
    FUZZ_CHECK(PortTestingLine::parse(rendered) == line);
    FUZZ_CHECK(PortTestingLine::parse(rendered.toUpper()) == line);
    if (line->result) {
        const QString name = ControlProtocol::resultName(*line->result);
        const QString twoBlanks = rendered.first(rendered.size() - name.size()) + u' ' + name;
        FUZZ_CHECK(!PortTestingLine::parse(twoBlanks));
    }
}

void checkPart(const QString &part)
{
    const CommandLine command = CommandLine::parse(part);
    if (command.command != ControlProtocol::PortTestingWord)
        return;
    // The handler hands the running test the line rebuilt from word and arguments; it must read
    // the same as the line the client sent.
    const QString rebuilt = ControlProtocol::PortTestingWord + u' ' + command.arguments;
    checkText(rebuilt);
    FUZZ_CHECK(PortTestingLine::parse(rebuilt) == PortTestingLine::parse(part));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    checkText(QString::fromLatin1(bytes));
    for (const QString &part : FramedInput::parts(bytes))
        checkPart(part);
    return 0;
}
