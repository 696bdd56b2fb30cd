// Fuzzes the front door's request parser from raw bytes: the same input read whole and in the
// pieces its first byte chooses must give the same requests, and every request it calls usable
// must be one the parser's rules allow.

#include "fuzz/fuzzcheck.h"
#include "http/httpparser.h"

#include <QList>

#include <algorithm>

#include <cstddef>
#include <cstdint>

namespace {
struct Read
{
    int status = 0;
    QByteArray path;
    bool keepAlive = false;
    bool operator==(const Read &other) const = default;
};

// Everything `input` holds, read `piece` bytes at a time (0: whole), request by request.
QList<Read> readAll(QByteArrayView input, qsizetype piece)
{
    HttpParser parser;
    QList<Read> reads;
    qsizetype used = 0;
    while (used < input.size()) {
        const qsizetype size =
            piece == 0 ? input.size() - used : std::min(piece, input.size() - used);
        const qsizetype took = parser.feed(input.sliced(used, size));
        FUZZ_CHECK(took >= 0 && took <= size);
        used += took;
        const HttpParser::State state = parser.state();
        if (state != HttpParser::State::Complete && state != HttpParser::State::Failed) {
            FUZZ_CHECK(took == size);
            continue;
        }
        const HttpRequest request = parser.takeRequest();
        reads.append({request.errorStatus(), request.path(), request.keepAlive()});
        if (request.errorStatus() != 0)
            break;
        // A usable request: a method, a path, no byte that may not be there.
        FUZZ_CHECK(!request.method().isEmpty() &&
                   (request.path().startsWith('/') || request.path() == "*"));
        FUZZ_CHECK(!request.header("x").contains('\r') && !request.header("x").contains('\n') &&
                   !request.header("x").contains('\0'));
    }
    return reads;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const qsizetype piece = data[0] % 17;
    const QByteArrayView input(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);
    FUZZ_CHECK(readAll(input, 0) == readAll(input, piece == 0 ? 1 : piece));
    return 0;
}
