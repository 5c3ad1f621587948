// The accepted connection's line reader.
//
// A line on the wire is its bytes followed by CR LF (0x0D 0x0A); the reader below finds the pair
// wherever it falls in the received data, also when its two bytes arrive in separate reads, and
// keeps the bytes after it for the next line.
#include "net/AcceptedConnection.h"

#include "net/Deadline.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace {

constexpr int kReceiveChunkBytes = 64 * 1024; // most bytes one recv() takes
constexpr char kLineEnd[] = "\r\n";           // CR LF
constexpr int kLineEndBytes = 2;

using Clock = std::chrono::steady_clock;

// Waits until fd reports `events` or the deadline passes; a readable cancelFd (when not -1) ends
// the wait early. True when fd is ready.
bool waitReady(int fd, short events, Clock::time_point deadline, int cancelFd = -1) {
    for (;;) {
        pollfd watched[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
        const int ready = ::poll(watched, cancelFd >= 0 ? 2 : 1, msUntil(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || watched[1].revents != 0)
            return false;
        return true;
    }
}

} // namespace

TCustomIpClient::TCustomIpClient(int fd, QString remoteHost, QString remotePort, int deadlineMs)
    : fd_(fd), remoteHost_(std::move(remoteHost)), remotePort_(std::move(remotePort)),
      deadlineMs_(deadlineMs) {}

TCustomIpClient::~TCustomIpClient() {
    if (fd_ >= 0)
        ::close(fd_);
}

void TCustomIpClient::shutdownBoth() {
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_RDWR);
}

void TCustomIpClient::revoke() {
    revoked_ = true;
    shutdownBoth();
}

void TCustomIpClient::startDeadline() {
    if (!deadline_)
        deadline_ = Clock::now() + std::chrono::milliseconds(deadlineMs_);
}

QByteArray TCustomIpClient::ReceiveLine() {
    for (;;) {
        // Bytes already buffered from a revoked sender are not handed out either.
        if (revoked_)
            return {};
        const qsizetype pending = buffer_.size() - start_;
        // A CR whose LF has not come yet sits at the end of the scanned part: rescan from it.
        const qsizetype from = start_ + std::max<qsizetype>(scanned_ - 1, 0);
        const qsizetype lineEnd = buffer_.indexOf(kLineEnd, from);
        if (lineEnd >= 0) {
            QByteArray line = buffer_.mid(start_, lineEnd - start_);
            start_ = lineEnd + kLineEndBytes;
            scanned_ = 0;
            return line;
        }
        scanned_ = pending;
        if (ended_) {
            QByteArray rest = buffer_.mid(start_);
            buffer_.clear();
            start_ = scanned_ = 0;
            return rest;
        }
        if (pending >= kMaxLineBytes + kLineEndBytes) {
            // A peer that streams past the longest line without CR LF is not sending lines: drop
            // what it sent and treat the connection as ended rather than buffer without bound.
            ended_ = true;
            buffer_.clear();
            start_ = scanned_ = 0;
            return {};
        }
        if (!fillBuffer()) {
            ended_ = true;
            if (cutOff_) {
                buffer_.clear();
                start_ = scanned_ = 0;
            }
        }
    }
}

// Receives more bytes into the buffer, never letting an unfinished line grow past the limit.
// False when the connection ended, the receive failed or the message's deadline passed (cutOff_).
// The listener starts the deadline when the first bytes arrive; a connection read without it
// starts it here.
bool TCustomIpClient::fillBuffer() {
    startDeadline();
    if (start_ > 0) {
        buffer_.remove(0, start_);
        start_ = 0;
    }
    const qsizetype room =
        std::min<qsizetype>(kReceiveChunkBytes, kMaxLineBytes + kLineEndBytes - buffer_.size());
    const qsizetype before = buffer_.size();
    buffer_.resize(before + room);
    ssize_t received = -1;
    for (;;) {
        if (!waitReady(fd_, POLLIN, *deadline_)) {
            cutOff_ = Clock::now() >= *deadline_;
            break;
        }
        received = ::recv(fd_, buffer_.data() + before, static_cast<size_t>(room), MSG_DONTWAIT);
        if (received >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK))
            break;
    }
    buffer_.resize(before + std::max<ssize_t>(received, 0));
    return received > 0;
}
