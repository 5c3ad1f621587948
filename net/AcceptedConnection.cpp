#include "net/AcceptedConnection.h"

#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {
constexpr qsizetype kReceiveChunkBytes = 64 * 1024; // most bytes one recv() takes
constexpr int kChunksPerTurn = 16; // then the loop serves the other sockets before reading on
} // namespace

TCustomIpClient::TCustomIpClient(int fd, LineMessage from, MessageShape shape,
                                 std::function<void(TCustomIpClient*)> changed, QObject* parent)
    : QObject(parent), fd_(fd), reader_(std::move(shape)), message_(std::move(from)),
      changed_(std::move(changed)) {
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { readable(); });
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] { drop(); });
}

TCustomIpClient::~TCustomIpClient() {
    release();
}

void TCustomIpClient::begin(uint64_t index, int deadlineMs) {
    message_.index = index;
    phase_ = Phase::Begun;
    notifier_->setEnabled(false); // read only at its turn
    deadline_.start(deadlineMs);
}

void TCustomIpClient::startReading() {
    if (phase_ != Phase::Begun)
        return;
    phase_ = Phase::Reading;
    notifier_->setEnabled(true);
    readAll();
}

void TCustomIpClient::readable() {
    if (phase_ == Phase::Idle) {
        changed_(this); // the listener decides whether and when it is read
        return;
    }
    readAll();
}

void TCustomIpClient::readAll() {
    char chunk[kReceiveChunkBytes];
    for (int i = 0; i < kChunksPerTurn && phase_ == Phase::Reading; ++i) {
        const ssize_t received = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (received < 0 && (errno == EINTR))
            continue;
        if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (received <= 0) {
            settle(reader_.end());
            return;
        }
        settle(reader_.feed(chunk, received));
    }
}

void TCustomIpClient::settle(MessageReader::State state) {
    if (state == MessageReader::State::Reading)
        return;
    phase_ = state == MessageReader::State::Complete ? Phase::Complete : Phase::Dropped;
    if (phase_ == Phase::Complete)
        message_.lines = reader_.takeLines();
    release();
    changed_(this);
}

void TCustomIpClient::drop(bool tell) {
    if (phase_ == Phase::Complete || phase_ == Phase::Dropped)
        return;
    const bool wasIdle = phase_ == Phase::Idle;
    phase_ = Phase::Dropped;
    release();
    if (tell && !wasIdle)
        changed_(this);
}

LineMessage TCustomIpClient::takeMessage() {
    return std::move(message_);
}

QByteArray TCustomIpClient::peekFirstBytes() const {
    char bytes[2];
    ssize_t got;
    do {
        got = fd_ < 0 ? -1 : ::recv(fd_, bytes, sizeof bytes, MSG_PEEK | MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    return got > 0 ? QByteArray(bytes, got) : QByteArray();
}

int TCustomIpClient::releaseSocket() {
    deadline_.stop();
    phase_ = Phase::Dropped;
    if (notifier_) {
        notifier_->setEnabled(false);
        notifier_->deleteLater();
        notifier_ = nullptr;
    }
    return std::exchange(fd_, -1);
}

void TCustomIpClient::release() {
    deadline_.stop();
    if (fd_ < 0)
        return;
    // The notifier may be the one whose signal runs this: it goes once that has returned.
    notifier_->setEnabled(false);
    notifier_->deleteLater();
    notifier_ = nullptr;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    fd_ = -1;
}
