// The message reader of the line channels (chat, trade, plot), fed in pieces cut at places the
// input chooses, so a CR LF split between two pieces is met. The lines come back exactly as sent,
// up to the first empty line, with the rest after the last CR LF as a last line; nothing is made
// up, and a message with no line counts as none.
//
// Input: two bytes seed the piece sizes, the rest is what the peer sends.
#include "fuzz/FuzzCheck.h"

#include "net/MessageReader.h"

#include <QList>

#include <algorithm>
#include <cstdint>

namespace {

constexpr int kMaxPieceBytes = 61; // small pieces, so line ends fall across them

// The lines a sender's bytes hold up to an empty line, and the rest after the last line end.
QList<QByteArray> expectedLines(const QByteArray& bytes) {
    QList<QByteArray> lines;
    qsizetype start = 0;
    for (qsizetype end = bytes.indexOf("\r\n"); end >= 0; end = bytes.indexOf("\r\n", start)) {
        if (end == start)
            return lines;
        lines.append(bytes.mid(start, end - start));
        start = end + 2;
    }
    if (start < bytes.size())
        lines.append(bytes.mid(start));
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 32 * 1024)
        return 0;
    uint32_t seed = uint32_t(data[0]) << 8 | data[1];
    const QByteArray bytes = fuzz::bytesOf(data + 2, size - 2);

    MessageReader reader{MessageShape{}};
    MessageReader::State state = MessageReader::State::Reading;
    for (qsizetype at = 0; at < bytes.size() && state == MessageReader::State::Reading;) {
        seed = seed * 1103515245u + 12345u;
        const qsizetype length =
            std::min<qsizetype>(1 + (seed >> 16) % kMaxPieceBytes, bytes.size() - at);
        state = reader.feed(bytes.constData() + at, length);
        at += length;
    }
    if (state == MessageReader::State::Reading)
        state = reader.end();
    const QList<QByteArray> expected = expectedLines(bytes);
    FUZZ_CHECK(state == (expected.isEmpty() ? MessageReader::State::Dropped
                                            : MessageReader::State::Complete));
    FUZZ_CHECK(reader.lines() == expected);
    return 0;
}
