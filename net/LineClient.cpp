#include "net/LineClient.h"

#include "net/Deadline.h"
#include "net/NameResolution.h"
#include "net/TlsSocket.h"

#include <QHostInfo>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {
const QByteArray kLineEnd = QByteArrayLiteral("\r\n");

} // namespace

LineClient::LineClient() {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] { timedOut(); });
}

LineClient::~LineClient() {
    cancel();
}

void LineClient::queue(Work work) {
    if (work.coalesce != 0) {
        for (auto it = queue_.begin(); it != queue_.end(); ++it) {
            if (it->coalesce == work.coalesce) {
                Report replaced = std::move(it->report);
                *it = std::move(work);
                if (replaced)
                    replaced(state_, -1);
                return;
            }
        }
    }
    queue_.push_back(std::move(work));
    pump();
}

void LineClient::dropQueued(int coalesce) {
    std::vector<Report> dropped;
    for (auto it = queue_.begin(); it != queue_.end();) {
        if (it->coalesce == coalesce) {
            dropped.push_back(std::move(it->report));
            it = queue_.erase(it);
        } else {
            ++it;
        }
    }
    for (Report& report : dropped)
        if (report)
            report(state_, -1);
}

void LineClient::hurry(int graceMs) {
    const Clock::time_point by = Clock::now() + std::chrono::milliseconds(graceMs);
    for (Work& work : queue_)
        work.hurriedBy = std::min(work.hurriedBy, by);
    if (running_) {
        work_.hurriedBy = std::min(work_.hurriedBy, by);
        if (timer_.isActive() && by < limit_) {
            limit_ = by;
            timer_.start(msUntil(limit_));
        }
    }
}

void LineClient::cancel() {
    cancelled_ = true;
    if (running_)
        timedOut();
    pump(); // everything queued fails at once now
}

// Runs the queued pieces one after another; pieces that end at once are done in this loop, not by
// calls within calls.
void LineClient::pump() {
    if (pumping_)
        return;
    pumping_ = true;
    while (!running_ && !queue_.empty()) {
        work_ = std::move(queue_.front());
        queue_.pop_front();
        running_ = true;
        start();
    }
    pumping_ = false;
}

void LineClient::start() {
    using Kind = Work::Kind;
    switch (work_.kind) {
    case Kind::Connect:
        connectThen([this] { finish(state_.connected ? 1 : 0); });
        return;
    case Kind::Activate:
        if (state_.active)
            finish(0);
        else
            connectThen([this] { finish(0); });
        return;
    case Kind::Disconnect:
    case Kind::Deactivate:
        disconnectNow();
        finish(0);
        return;
    case Kind::Control:
        if (tls_ && state_.connected && !cancelled_ && !work_.lines.isEmpty()) {
            tls_->send(encodeControlFrame(work_.lines.first()));
            finish(0);
        } else {
            finish(-1);
        }
        return;
    case Kind::Message:
        if (cancelled_ || (work_.ifConnected && !state_.connected)) {
            finish(-1);
            return;
        }
        if (policy_.context) {
            sendFrame();
            return;
        }
        line_ = 0;
        sent_ = 0;
        writeLines();
        return;
    }
}

void LineClient::finish(int result) {
    stopWaiting();
    awaitingDrain_ = false;
    Report report = std::move(work_.report);
    work_ = Work();
    running_ = false;
    if (report)
        report(state_, result);
    pump();
}

// Each line is written whole while the client is connected; a line the peer does not take within
// the send time-out loses the connection, and the lines after it are not sent.
void LineClient::writeLines() {
    while (line_ < work_.lines.size()) {
        const QByteArray& line = work_.lines[line_];
        const qsizetype whole = line.size() + kLineEnd.size();
        if (unsent_ == 0) {
            if (!state_.connected) {
                ++line_;
                continue;
            }
            unsent_ = whole;
        }
        // The line and its CR LF go as one write, without copying the line.
        const qsizetype at = whole - unsent_;
        iovec pieces[2];
        int count = 0;
        if (at < line.size())
            pieces[count++] = {const_cast<char*>(line.constData() + at), size_t(line.size() - at)};
        const qsizetype endAt = std::max<qsizetype>(0, at - line.size());
        pieces[count++] = {const_cast<char*>(kLineEnd.constData() + endAt),
                           size_t(kLineEnd.size() - endAt)};
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = size_t(count);
        const ssize_t written = ::sendmsg(fd_, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            sendFailed();
            continue;
        }
        if (written >= 0)
            unsent_ -= written;
        if (unsent_ > 0) {
            if (!writable_) {
                writable_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
                connect(writable_, &QSocketNotifier::activated, this, [this] { writeReady(); });
                armTimer(sendTimeoutMs_);
            }
            return;
        }
        stopWaiting();
        ++sent_;
        ++line_;
    }
    disconnectNow();
    connectThen([this] { finish(sent_); });
}

void LineClient::writeReady() {
    writeLines();
}

void LineClient::sendFailed() {
    stopWaiting();
    unsent_ = 0;
    ++line_;
    state_.connected = false;
}

// Connects unless connected already, then goes on with `then`.
void LineClient::connectThen(std::function<void()> then) {
    if (state_.connected || cancelled_) {
        then();
        return;
    }
    state_.active = true;
    afterConnect_ = std::move(then);
    const QString host = work_.host;
    // An empty host stands for 0.0.0.0, which no connection can reach.
    if (host.isEmpty()) {
        connectEnded(false);
        return;
    }
    if (!isHostName(host)) {
        const std::optional<uint32_t> address = hostAddress(host);
        address ? attempt(*address) : connectEnded(false);
        return;
    }
    armTimer(connectTimeoutMs_);
    const uint64_t step = ++step_;
    lookupId_ = QHostInfo::lookupHost(host, this, [this, step](const QHostInfo& info) {
        if (step != step_ || !afterConnect_)
            return;
        lookupId_ = -1;
        for (const QHostAddress& address : info.addresses()) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol) {
                attempt(address.toIPv4Address());
                return;
            }
        }
        connectEnded(false);
    });
}

void LineClient::attempt(uint32_t address) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        connectEnded(false);
        return;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = htonl(address);
    peer.sin_port = htons(work_.port);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) {
        connectEnded(true);
        return;
    }
    if (errno != EINPROGRESS) {
        connectEnded(false);
        return;
    }
    writable_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
    connect(writable_, &QSocketNotifier::activated, this, [this] { connectReady(); });
    if (!timer_.isActive())
        armTimer(connectTimeoutMs_);
}

void LineClient::connectReady() {
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
    connectEnded(error == 0);
}

void LineClient::connectEnded(bool success) {
    stopWaiting();
    if (success) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            state_.remote = ntohl(address.sin_addr.s_addr);
        length = sizeof address;
        if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            state_.local = ntohl(address.sin_addr.s_addr);
        if (policy_.context) {
            startSession();
            return;
        }
    } else if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    connectFinished(success);
}

void LineClient::connectFinished(bool success) {
    state_.connected = success;
    if (std::function<void()> then = std::exchange(afterConnect_, nullptr))
        then();
}

// The connection is up: the TLS handshake and the key check come before it counts as connected.
void LineClient::startSession() {
    TlsSocket::Settings settings;
    settings.context = policy_.context;
    settings.role = TlsEngine::Role::Client;
    settings.alpn = alpn_;
    settings.maxFramePayload = kMaxControlFramePayload; // the listener sends only control frames
    tls_ = new TlsSocket(std::exchange(fd_, -1), settings, this);
    tls_->handshakeDone = [this] { sessionUp(); };
    tls_->ended = [this](const QString& reason) { sessionDown(reason); };
    tls_->frameArrived = [this](FrameEvent event) {
        if (event.kind != FrameEvent::Kind::Control) {
            tls_->abort();
            sessionDown(QStringLiteral("the peer sent data on a sending connection"));
        } else if (event.bytes == QByteArrayView(&kKeyRefusedMessage, 1)) {
            tls_->abort();
            sessionDown(QStringLiteral("the peer refused this copy's key"),
                        SecurityEvent::Kind::RefusedByPeer);
        } else if (onControl) {
            onControl(event.bytes);
        }
    };
    tls_->drained = [this] {
        if (running_ && awaitingDrain_)
            finish(sent_);
    };
    armTimer(kHandshakeTimeoutMs);
}

void LineClient::sessionUp() {
    stopWaiting();
    if (!policy_.keyPasses(tls_->peerFingerprint())) {
        state_.peerKey = tls_->peerFingerprint();
        tls_->abort();
        tls_->deleteLater();
        tls_ = nullptr;
        security(SecurityEvent::Kind::KeyRefused);
        connectFinished(false);
        return;
    }
    state_.encrypted = true;
    state_.peerKey = tls_->peerFingerprint();
    state_.verifySecret = tls_->verifySecret();
    tls_->admit();
    state_.connected = true;
    security(SecurityEvent::Kind::Established);
    connectFinished(true);
}

// The session failed its handshake, or an established one ended.
void LineClient::sessionDown(const QString& reason, SecurityEvent::Kind endKind) {
    if (!tls_)
        return;
    tls_->deleteLater();
    tls_ = nullptr;
    const bool wasUp = state_.encrypted;
    state_.connected = false;
    state_.encrypted = false;
    state_.verifySecret.clear();
    if (afterConnect_) {
        stopWaiting();
        security(SecurityEvent::Kind::HandshakeFailed, reason);
        connectFinished(false);
        return;
    }
    security(endKind, wasUp ? reason : QString());
    if (running_ && awaitingDrain_)
        finish(0);
}

// A message in a session: one data frame holding exactly the bytes its plain connection would
// carry. Not connected, it sends nothing and connects for the next one, as the plain path does.
void LineClient::sendFrame() {
    if (!tls_ || !state_.connected) {
        connectThen([this] { finish(0); });
        return;
    }
    QByteArray payload;
    qsizetype size = 0;
    for (const QByteArray& line : work_.lines)
        size += line.size() + kLineEnd.size();
    payload.reserve(size);
    for (const QByteArray& line : work_.lines)
        payload.append(line).append(kLineEnd);
    sent_ = int(work_.lines.size());
    awaitingDrain_ = true;
    tls_->send(encodeDataFrame(payload));
    if (awaitingDrain_ && running_)
        armTimer(sendTimeoutMs_);
}

void LineClient::security(SecurityEvent::Kind kind, const QString& reason) {
    if (!onSecurity)
        return;
    SecurityEvent event;
    event.kind = kind;
    event.address = state_.remote;
    event.key = state_.peerKey;
    event.reason = reason;
    onSecurity(event, state_);
}

void LineClient::setSessionPolicy(SessionPolicy policy, QByteArray alpn) {
    policy_ = std::move(policy);
    alpn_ = std::move(alpn);
}

// Shuts a connection down both ways and lets the socket go.
void LineClient::disconnectNow() {
    stopWaiting();
    if (tls_) {
        std::exchange(tls_, nullptr)->finish(); // TLS's close goes out; it deletes itself
        if (state_.encrypted)
            security(SecurityEvent::Kind::Ended);
        state_.encrypted = false;
        state_.verifySecret.clear();
    }
    if (fd_ >= 0) {
        if (state_.connected)
            ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        fd_ = -1;
    }
    state_.connected = false;
    state_.active = false;
}

// The step's own time, cut by a hurry that covers it.
void LineClient::armTimer(int ownMs) {
    limit_ = std::min(Clock::now() + std::chrono::milliseconds(ownMs), work_.hurriedBy);
    if (cancelled_)
        limit_ = Clock::now();
    timer_.start(msUntil(limit_));
}

// The step ran out of time: a lookup or connect fails, a send loses the connection.
void LineClient::timedOut() {
    if (!running_)
        return;
    if (afterConnect_) {
        ++step_;
        if (lookupId_ >= 0)
            QHostInfo::abortHostLookup(std::exchange(lookupId_, -1));
        if (tls_) {
            tls_->abort();
            sessionDown(QStringLiteral("the TLS handshake took too long"));
            return;
        }
        connectEnded(false);
        return;
    }
    if (awaitingDrain_ && tls_) {
        tls_->abort();
        sessionDown(QStringLiteral("the peer took nothing within the send time"));
        return;
    }
    if (unsent_ > 0) {
        sendFailed();
        writeLines();
    }
}

// A notifier may be the one whose signal runs this: it goes once that has returned.
void LineClient::stopWaiting() {
    timer_.stop();
    if (!writable_)
        return;
    writable_->setEnabled(false);
    writable_->deleteLater();
    writable_ = nullptr;
}
