#pragma once
// Frames inside a session. Each channel's TLS connection carries frames back to back:
//
//   4 bytes, big-endian: bit 31 set for a session control frame, bits 0-30 the payload's length
//   the payload: for a data frame, exactly the bytes one plain connection of the channel would have
//   carried (a chat line, a trade message, plot records, a file header and the file's bytes); for
//   a control frame, a message of the session itself (crypto/VerifyCode.h)
//
// so a receiver handles each data frame as it handles one plain connection's message, with the
// same limits. A frame cut off by the end of the stream is discarded, as a plain connection that
// ends mid-message is.
//
// FrameReader takes the received bytes in pieces of any size and hands out whole frames. It refuses
// a length beyond the bound its owner gives (the channel's message bound; control frames have their
// own small one) and holds no more than one frame's bytes beyond what was fed. In streaming mode,
// for the download channel whose frames may be gigabytes, a data frame's payload is handed out
// piece by piece as it arrives instead, so only what was fed is held.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

inline constexpr int kFrameHeaderBytes = 4;
inline constexpr quint32 kControlFrameFlag = 0x80000000u;
inline constexpr qint64 kMaxFramePayload = 0x7FFFFFFF; // what the 31 length bits hold
inline constexpr qint64 kMaxControlFramePayload = 4096;

// The 4 header bytes of a frame of this length, for a sender that streams the payload after it;
// empty for a length beyond kMaxFramePayload, which no frame can carry.
QByteArray frameHeader(qint64 length, bool control = false);
// A whole data frame, and a whole control frame (payloads up to kMaxFramePayload).
QByteArray encodeDataFrame(QByteArrayView payload);
QByteArray encodeControlFrame(QByteArrayView payload);

struct FrameEvent {
    enum class Kind {
        Data,      // a whole data frame: `bytes`
        Control,   // a whole control frame: `bytes`
        DataBegin, // streaming: a data frame of `length` bytes begins
        DataPiece, // streaming: the next `bytes` of its payload
        DataEnd,   // streaming: its payload is complete
    };
    Kind kind = Kind::Data;
    QByteArray bytes;
    qint64 length = 0;
};

class FrameReader {
public:
    enum class Mode { WholeFrames, Streaming };

    // maxDataPayload: the longest data frame accepted (at most kMaxFramePayload).
    explicit FrameReader(qint64 maxDataPayload, Mode mode = Mode::WholeFrames);

    // Adds received bytes (ignored once failed). Call next() until it returns nothing.
    void feed(QByteArrayView bytes);
    // The next frame or piece among the bytes fed; nothing when more bytes are needed or the
    // reader has failed.
    std::optional<FrameEvent> next();
    // The stream has ended: true when it ended between two frames; otherwise the last frame was
    // cut off and the reader fails.
    bool endOfStream();

    bool failed() const { return !error_.isEmpty(); }
    const QString& errorText() const { return error_; }
    // Bytes fed and not yet handed out.
    qsizetype buffered() const { return buffer_.size() - offset_; }

private:
    std::optional<FrameEvent> nextPiece();
    QByteArray take(qsizetype length);

    qint64 maxDataPayload_;
    Mode mode_;
    QByteArray buffer_;
    qsizetype offset_ = 0;
    bool inStreamedPayload_ = false;
    qint64 streamedLeft_ = 0;
    QString error_;
};
