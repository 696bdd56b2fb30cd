// Fuzzes the reading of "porttesting" lines: any text as a running test may get it, and the lines
// the client handler rebuilds from a control connection's raw bytes.

#include "fuzz/fuzzcheck.h"
#include "fuzz/handlerlines.h"
#include "fuzz/textscan.h"
#include "porttest/porttestingline.h"
#include "server/commandline.h"

#include <cstddef>
#include <cstdint>

using namespace Qt::StringLiterals;

// Found by argument lookup from std::optional's comparison, so outside the unnamed namespace.
static bool operator==(const PortTestingLine &a, const PortTestingLine &b)
{
    return a.direction == b.direction && a.protocol == b.protocol && a.port == b.port &&
           a.status == b.status;
}

namespace {

// What "(porttesting)\s+(in|out)\s+(udp|tcp)\s+(\d+)\s?(timeout|failure|success)?" finds: the
// first "porttesting" that the rest of the pattern follows; the status counts after at most one
// white-space character.
std::optional<PortTestingLine> referencePortTestingLine(QStringView text)
{
    for (qsizetype at = 0; at < text.size(); ++at) {
        if (!TextScan::hasWordAt(text, at, u"porttesting"))
            continue;
        qsizetype position = TextScan::skipSpaces(text, at + 11);
        if (position == at + 11)
            continue;
        PortTestingLine line;
        if (TextScan::hasWordAt(text, position, u"in")) {
            line.direction = 0;
            position += 2;
        } else if (TextScan::hasWordAt(text, position, u"out")) {
            line.direction = 1;
            position += 3;
        } else {
            continue;
        }
        qsizetype next = TextScan::skipSpaces(text, position);
        if (next == position)
            continue;
        position = next;
        if (TextScan::hasWordAt(text, position, u"tcp"))
            line.protocol = 0;
        else if (TextScan::hasWordAt(text, position, u"udp"))
            line.protocol = 1;
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
        for (const QStringView status : {u"timeout", u"failure", u"success"}) {
            if (TextScan::hasWordAt(text, position, status))
                line.status = status.toString();
        }
        return line;
    }
    return std::nullopt;
}

QString render(const PortTestingLine &line)
{
    // Eleven digits never fit, so they stand for a port that did not fit.
    const QString port = line.port < 0 ? u"99999999999"_s : QString::number(line.port);
    QString text = u"porttesting "_s + (line.direction == 1 ? u"out "_s : u"in "_s) +
                   (line.protocol == 0 ? u"tcp "_s : u"udp "_s) + port;
    if (!line.status.isEmpty())
        text += u' ' + line.status;
    return text;
}

void checkText(const QString &text)
{
    const std::optional<PortTestingLine> line = PortTestingLine::parse(text);
    FUZZ_CHECK(line == PortTestingLine::parse(text));
    FUZZ_CHECK(line == referencePortTestingLine(text));
    if (!line)
        return;
    FUZZ_CHECK(line->direction == 0 || line->direction == 1);
    FUZZ_CHECK(line->protocol == 0 || line->protocol == 1);
    FUZZ_CHECK(line->port >= -1);
    FUZZ_CHECK(line->status.isEmpty() || line->status == u"success"_s ||
               line->status == u"failure"_s || line->status == u"timeout"_s);

    // The line written out plainly reads back the same, in capitals too; with two blanks before
    // the status, the status is not read.
    const QString rendered = render(*line);
    FUZZ_CHECK(PortTestingLine::parse(rendered) == line);
    FUZZ_CHECK(PortTestingLine::parse(rendered.toUpper()) == line);
    if (!line->status.isEmpty()) {
        const QString twoBlanks =
            rendered.first(rendered.size() - line->status.size()) + u' ' + line->status;
        const std::optional<PortTestingLine> withoutStatus = PortTestingLine::parse(twoBlanks);
        FUZZ_CHECK(withoutStatus && withoutStatus->status.isEmpty() &&
                   withoutStatus->port == line->port);
    }
}

void checkPart(const QString &part)
{
    const CommandLine command = CommandLine::parse(part);
    if (command.command != u"porttesting"_s)
        return;
    // The handler hands the running test the line rebuilt from word and arguments; it must read
    // the same as the line the client sent.
    const QString rebuilt = u"porttesting "_s + command.arguments;
    checkText(rebuilt);
    FUZZ_CHECK(PortTestingLine::parse(rebuilt) == PortTestingLine::parse(part));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    checkText(QString::fromLatin1(bytes));
    for (const QString &part : HandlerLines::parts(bytes))
        checkPart(part);
    return 0;
}
