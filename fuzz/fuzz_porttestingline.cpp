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

// What "(porttesting)\s+(in|out)\s+(udp|tcp)\s+(\d+)\s?(timeout|failure|success)?" finds: the
// first "porttesting" that the rest of the pattern follows; the result counts after at most one
// white-space character.
std::optional<PortTestingLine> referencePortTestingLine(QStringView text)
{
    constexpr QStringView word = u"porttesting";
    for (qsizetype at = 0; at < text.size(); ++at) {
        if (!TextScan::hasWordAt(text, at, word))
            continue;
        qsizetype position = TextScan::skipSpaces(text, at + word.size());
        if (position == at + word.size())
            continue;
        PortTestingLine line;
        if (TextScan::hasWordAt(text, position, u"in")) {
            line.direction = ControlProtocol::In;
            position += 2;
        } else if (TextScan::hasWordAt(text, position, u"out")) {
            line.direction = ControlProtocol::Out;
            position += 3;
        } else {
            continue;
        }
        qsizetype next = TextScan::skipSpaces(text, position);
        if (next == position)
            continue;
        position = next;
        if (TextScan::hasWordAt(text, position, u"tcp"))
            line.protocol = ControlProtocol::Tcp;
        else if (TextScan::hasWordAt(text, position, u"udp"))
            line.protocol = ControlProtocol::Udp;
        else
            continue;
        next = TextScan::skipSpaces(text, position + 3);
        if (next == position + 3)
            continue;
        position = next;
        next = TextScan::skipDigits(text, position);
        if (next == position)
            continue;
        line.port = TextScan::toInt(text.sliced(position, next - position)).value_or(-1);
        position = next;
        if (position < text.size() && TextScan::isSpace(text[position]))
            ++position;
        const std::pair<QStringView, Result> results[] = {{u"timeout", Result::Timeout},
                                                          {u"failure", Result::Failure},
                                                          {u"success", Result::Success}};
        for (const auto &[name, result] : results) {
            if (TextScan::hasWordAt(text, position, name))
                line.result = result;
        }
        return line;
    }
    return std::nullopt;
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
    // the result, the result is not read.
    const QString rendered = render(*line);
    FUZZ_CHECK(line->port < 0 || line->text() == rendered);
    FUZZ_CHECK(PortTestingLine::parse(rendered) == line);
    FUZZ_CHECK(PortTestingLine::parse(rendered.toUpper()) == line);
    if (line->result) {
        const QString name = ControlProtocol::resultName(*line->result);
        const QString twoBlanks = rendered.first(rendered.size() - name.size()) + u' ' + name;
        const std::optional<PortTestingLine> withoutResult = PortTestingLine::parse(twoBlanks);
        FUZZ_CHECK(withoutResult && !withoutResult->result && withoutResult->port == line->port);
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
