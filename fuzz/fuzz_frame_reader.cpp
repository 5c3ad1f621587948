// The session frame reader: any received bytes, fed in pieces cut where the input says, in either
// mode. Whatever comes out, written again as frames, is exactly the start of what was fed (nothing
// more, nothing changed, no frame beyond its bound); it stops only at a frame longer than allowed;
// the end of the stream is clean exactly when every byte fed came out as whole frames; and the same
// bytes fed in one piece give the same frames.
//
// Input: one byte for the mode and the piece sizes, two for the data frames' bound, then the bytes.
#include "fuzz/FuzzCheck.h"

#include "crypto/Frames.h"

#include <QtEndian>

#include <algorithm>
#include <cstdint>
#include <optional>

namespace {

constexpr int kMaxPieceBytes = 37; // small pieces, so headers and payloads fall across feeds

struct Outcome {
    QByteArray reframed;     // the frames handed out, written as frames again
    bool streamOpen = false; // a streamed data frame has begun and not ended
    bool failed = false;
    bool cleanEnd = false;
};

void take(FrameReader& reader, qint64 bound, Outcome& outcome) {
    while (const auto event = reader.next()) {
        switch (event->kind) {
        case FrameEvent::Kind::Data:
            FUZZ_CHECK(event->bytes.size() <= bound);
            outcome.reframed += encodeDataFrame(event->bytes);
            break;
        case FrameEvent::Kind::Control:
            FUZZ_CHECK(event->bytes.size() <= kMaxControlFramePayload);
            outcome.reframed += encodeControlFrame(event->bytes);
            break;
        case FrameEvent::Kind::DataBegin:
            FUZZ_CHECK(event->length <= bound);
            FUZZ_CHECK(!outcome.streamOpen);
            outcome.reframed += frameHeader(event->length);
            outcome.streamOpen = true;
            break;
        case FrameEvent::Kind::DataPiece:
            FUZZ_CHECK(outcome.streamOpen && !event->bytes.isEmpty());
            outcome.reframed += event->bytes;
            break;
        case FrameEvent::Kind::DataEnd:
            FUZZ_CHECK(outcome.streamOpen);
            outcome.streamOpen = false;
            break;
        }
    }
}

// Feeds the bytes in pieces whose sizes the seed gives, or in one piece.
Outcome read(const QByteArray& bytes, qint64 bound, FrameReader::Mode mode,
             std::optional<uint32_t> seed) {
    FrameReader reader(bound, mode);
    Outcome outcome;
    for (qsizetype fed = 0; fed < bytes.size();) {
        qsizetype length = bytes.size() - fed;
        if (seed) {
            *seed = *seed * 1103515245u + 12345u;
            length = std::min<qsizetype>(1 + (*seed >> 16) % kMaxPieceBytes, length);
        }
        reader.feed(QByteArrayView(bytes).sliced(fed, length));
        fed += length;
        take(reader, bound, outcome);
        FUZZ_CHECK(outcome.reframed.size() <= fed);
    }
    outcome.failed = reader.failed();
    outcome.cleanEnd = reader.endOfStream();
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size > 64 * 1024)
        return 0;
    const auto mode = data[0] & 1 ? FrameReader::Mode::Streaming : FrameReader::Mode::WholeFrames;
    const uint32_t seed = data[0] >> 1;
    const qint64 bound = qFromBigEndian<quint16>(data + 1);
    const QByteArray bytes = fuzz::bytesOf(data + 3, size - 3);

    const Outcome pieces = read(bytes, bound, mode, seed);
    FUZZ_CHECK(bytes.startsWith(pieces.reframed));
    FUZZ_CHECK(pieces.cleanEnd ==
               (!pieces.failed && !pieces.streamOpen && pieces.reframed == bytes));
    if (pieces.failed) { // only a frame over its bound stops the reader
        const QByteArray rest = bytes.mid(pieces.reframed.size());
        FUZZ_CHECK(rest.size() >= kFrameHeaderBytes);
        const quint32 word = qFromBigEndian<quint32>(rest.constData());
        const qint64 length = word & ~kControlFrameFlag;
        FUZZ_CHECK(length > (word & kControlFrameFlag ? kMaxControlFramePayload : bound));
    }

    const Outcome whole = read(bytes, bound, mode, std::nullopt);
    FUZZ_CHECK(whole.reframed == pieces.reframed);
    FUZZ_CHECK(whole.failed == pieces.failed && whole.cleanEnd == pieces.cleanEnd);
    return 0;
}
