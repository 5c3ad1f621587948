// Session frames: writing them, and reading them from pieces (crypto/Frames.h).

#include "crypto/Frames.h"

#include <QtEndian>

#include <algorithm>

QByteArray frameHeader(qint64 length, bool control) {
    if (length < 0 || length > kMaxFramePayload)
        return {}; // its length would spill into the control bit
    QByteArray header(kFrameHeaderBytes, Qt::Uninitialized);
    qToBigEndian(quint32(length) | (control ? kControlFrameFlag : 0u), header.data());
    return header;
}

QByteArray encodeDataFrame(QByteArrayView payload) {
    return frameHeader(payload.size()).append(payload);
}

QByteArray encodeControlFrame(QByteArrayView payload) {
    return frameHeader(payload.size(), true).append(payload);
}

FrameReader::FrameReader(qint64 maxDataPayload, Mode mode)
    : maxDataPayload_(std::clamp<qint64>(maxDataPayload, 0, kMaxFramePayload)), mode_(mode) {}

void FrameReader::feed(QByteArrayView bytes) {
    if (failed())
        return;
    if (offset_ > 0 && offset_ >= buffer_.size() / 2) { // drop what was handed out
        buffer_.remove(0, offset_);
        offset_ = 0;
    }
    buffer_.append(bytes);
}

std::optional<FrameEvent> FrameReader::next() {
    if (failed())
        return std::nullopt;
    if (inStreamedPayload_)
        return nextPiece();
    if (buffered() < kFrameHeaderBytes)
        return std::nullopt;
    const quint32 word = qFromBigEndian<quint32>(buffer_.constData() + offset_);
    const bool control = word & kControlFrameFlag;
    const qint64 length = word & ~kControlFrameFlag;
    const qint64 bound = control ? kMaxControlFramePayload : maxDataPayload_;
    if (length > bound) {
        error_ = QStringLiteral("a frame of %1 bytes is longer than the %2 allowed")
                     .arg(length)
                     .arg(bound);
        return std::nullopt;
    }
    if (!control && mode_ == Mode::Streaming) {
        offset_ += kFrameHeaderBytes;
        inStreamedPayload_ = true;
        streamedLeft_ = length;
        return FrameEvent{FrameEvent::Kind::DataBegin, {}, length};
    }
    if (buffered() < kFrameHeaderBytes + length)
        return std::nullopt;
    offset_ += kFrameHeaderBytes;
    return FrameEvent{control ? FrameEvent::Kind::Control : FrameEvent::Kind::Data, take(length),
                      length};
}

std::optional<FrameEvent> FrameReader::nextPiece() {
    if (streamedLeft_ == 0) {
        inStreamedPayload_ = false;
        return FrameEvent{FrameEvent::Kind::DataEnd, {}, 0};
    }
    const qsizetype length = qsizetype(std::min<qint64>(buffered(), streamedLeft_));
    if (length == 0)
        return std::nullopt;
    streamedLeft_ -= length;
    return FrameEvent{FrameEvent::Kind::DataPiece, take(length), length};
}

// The next length bytes, handed out; the buffer itself when they are all of it (no copy).
QByteArray FrameReader::take(qsizetype length) {
    QByteArray bytes;
    if (offset_ == 0 && length == buffer_.size())
        bytes.swap(buffer_);
    else
        bytes = buffer_.mid(offset_, length);
    offset_ = buffer_.isEmpty() ? 0 : offset_ + length;
    return bytes;
}

bool FrameReader::endOfStream() {
    if (failed())
        return false;
    if (buffered() > 0 || (inStreamedPayload_ && streamedLeft_ > 0)) {
        error_ = QStringLiteral("the last frame was cut off");
        return false;
    }
    return true;
}
