#include "net/MessageReader.h"

#include <algorithm>
#include <utility>

namespace {
constexpr char kCr = '\r';
constexpr char kLf = '\n';
constexpr qint64 kLineEndBytes = 2;
} // namespace

MessageReader::State MessageReader::feed(const char* data, qsizetype size) {
    qsizetype at = 0;
    while (state_ == State::Reading && at < size) {
        // A CR left at the end of the last piece may pair with an LF at the start of this one.
        if (pending_.endsWith(kCr) && data[at] == kLf) {
            pending_.chop(1);
            ++at;
            takeLine(std::exchange(pending_, {}));
            continue;
        }
        const char* from = data + at;
        const qsizetype left = size - at;
        const qsizetype room = kMaxLineBytes + kLineEndBytes - pending_.size();
        const qsizetype scan = std::min(left, room);
        qsizetype lineEnd = -1;
        for (qsizetype i = 0; i + 1 < scan; ++i) {
            if (from[i] == kCr && from[i + 1] == kLf) {
                lineEnd = i;
                break;
            }
        }
        if (lineEnd >= 0) {
            pending_.append(from, lineEnd);
            at += lineEnd + kLineEndBytes;
            takeLine(std::exchange(pending_, {}));
            continue;
        }
        pending_.append(from, scan);
        at += scan;
        // A sender that streams past the longest line without CR LF is not sending lines: the
        // message ends with the lines before it.
        if (pending_.size() >= kMaxLineBytes + kLineEndBytes) {
            pending_.clear();
            finish();
        }
    }
    return state_;
}

MessageReader::State MessageReader::end() {
    if (state_ != State::Reading)
        return state_;
    if (!pending_.isEmpty())
        takeLine(std::exchange(pending_, {}));
    if (state_ == State::Reading)
        finish();
    return state_;
}

void MessageReader::takeLine(QByteArray line) {
    if (line.isEmpty()) { // an empty line ends the message as the connection's end does
        finish();
        return;
    }
    if (lines_.isEmpty()) {
        length_ = shape_.lengthOf(line);
        if (length_ == MessageShape::Length::Drop) {
            drop();
            return;
        }
    }
    bytes_ += line.size() + (shape_.countLineEnds ? kLineEndBytes : 0);
    if (lines_.size() + 1 > shape_.maxLines || bytes_ > shape_.maxBytes) {
        drop();
        return;
    }
    lines_.append(std::move(line));
    if (length_ == MessageShape::Length::OneLine)
        finish();
}

void MessageReader::finish() {
    state_ = lines_.isEmpty() ? State::Dropped : State::Complete;
}

void MessageReader::drop() {
    state_ = State::Dropped;
    lines_.clear();
    pending_.clear();
}
