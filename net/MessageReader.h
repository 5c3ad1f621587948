#pragma once
// Reads one line message out of the bytes of its connection, as they come, without waiting.
//
// A line is its bytes followed by CR LF; the pair is found wherever it falls, also when its two
// bytes come in separate pieces. A message is its lines up to an empty line or the end of the
// connection; a last line without CR LF before the end counts as a line. How many lines a message
// has depends on its channel and its first line (MessageShape). A line that grows past
// kMaxLineBytes without CR LF ends the message where it stands, with the lines before it; a
// message that outgrows its shape's bounds is dropped whole.

#include "net/ChannelLimits.h"

#include <QByteArray>
#include <QList>

#include <functional>

// How the messages of one channel end, and how large they may be.
struct MessageShape {
    enum class Length {
        Drop,      // not a message of this channel: dropped at its first line
        OneLine,   // the first line is the whole message; anything after it is not read
        UntilEmpty // lines up to an empty line or the connection's end
    };
    // Given the first line (never empty).
    std::function<Length(const QByteArray& firstLine)> lengthOf = [](const QByteArray&) {
        return Length::UntilEmpty;
    };
    qsizetype maxLines = 0x7fffffff;
    qint64 maxBytes = 0x7fffffffffffffff; // all lines, with their CR LF if countLineEnds
    bool countLineEnds = true;
};

class MessageReader {
public:
    enum class State {
        Reading,  // more bytes are wanted
        Complete, // lines() is the whole message
        Dropped   // nothing of it counts: empty, not of this channel, or beyond its bounds
    };

    explicit MessageReader(MessageShape shape) : shape_(std::move(shape)) {}

    // The next bytes of the connection.
    State feed(const char* data, qsizetype size);
    // The connection ended (or failed) with no more bytes.
    State end();
    State state() const { return state_; }
    // The lines of a complete message, without their CR LF.
    const QList<QByteArray>& lines() const { return lines_; }
    QList<QByteArray> takeLines() { return std::move(lines_); }

private:
    void takeLine(QByteArray line);
    void finish();
    void drop();

    MessageShape shape_;
    MessageShape::Length length_ = MessageShape::Length::UntilEmpty;
    State state_ = State::Reading;
    QByteArray pending_; // bytes of the line not yet ended
    QList<QByteArray> lines_;
    qint64 bytes_ = 0;
};
