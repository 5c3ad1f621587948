#include "net/LineListener.h"

#include "crypto/TlsDetect.h"
#include "net/BindHelper.h"
#include "net/HandshakeLimits.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {
constexpr int kAcceptPauseMs = 100; // after accept() lacked resources
constexpr int kAcceptBurst = 32;    // most connections taken per readiness
constexpr int kKeepAliveIdleS = 60;
constexpr int kKeepAliveIntervalS = 10;
constexpr int kKeepAliveProbes = 6;

QString errnoText(int error) {
    char scratch[256];
    return QString::fromLocal8Bit(::strerror_r(error, scratch, sizeof scratch));
}

bool isResourceShortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// Idle connections of a peer that vanished are freed in the end.
void useKeepAlive(int fd) {
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleS, sizeof kKeepAliveIdleS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalS, sizeof kKeepAliveIntervalS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof kKeepAliveProbes);
}
} // namespace

LineListener::LineListener(std::function<void(LineMessage)> deliver)
    : deliver_(std::move(deliver)) {
    acceptPause_.setSingleShot(true);
    connect(&acceptPause_, &QTimer::timeout, this, [this] {
        if (accepting_)
            accepting_->setEnabled(true);
    });
}

LineListener::~LineListener() {
    close();
    shutdownConnections();
}

LineListener::State LineListener::open(uint32_t address, uint16_t port, MessageShape shape) {
    shape_ = std::move(shape);
    if (state_.listening)
        return state_;
    if (listenFd_ < 0) {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (listenFd_ < 0) {
            state_.error = errnoText(errno);
            return state_;
        }
        // Lets a listener bind again right after it closed; Linux still refuses a port that
        // another socket is listening on.
        const int on = 1;
        ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (!bindAndListen(address, port))
        return state_;
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length) == 0)
        state_.port = ntohs(bound.sin_port);
    accepting_ = new QSocketNotifier(listenFd_, QSocketNotifier::Read, this);
    connect(accepting_, &QSocketNotifier::activated, this, [this] { acceptPending(); });
    state_.listening = true;
    state_.error.clear();
    return state_;
}

bool LineListener::bindAndListen(uint32_t address, uint16_t port) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address);
    local.sin_port = htons(port);
    if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
        ::listen(listenFd_, kBacklog) == 0)
        return true;
    const int error = errno;
    state_.error = errnoText(error);
    if (error != EACCES || !mayAskBindHelper(port))
        return false;
    // A default port below 1024 that this program may not bind: the helper opens it and hands
    // the listening socket over, which replaces the unbound one.
    QString helperError;
    const int listener = listenThroughBindHelper(address, port, helperError);
    if (listener < 0) {
        state_.error += QStringLiteral(" (%1)").arg(helperError);
        return false;
    }
    ::close(listenFd_);
    listenFd_ = listener;
    ::fcntl(listenFd_, F_SETFL, ::fcntl(listenFd_, F_GETFL) | O_NONBLOCK);
    ::listen(listenFd_, kBacklog); // this program's backlog, whatever the helper chose
    return true;
}

LineListener::State LineListener::close() {
    if (state_.listening) {
        // Connections the system completed before the close are taken along: for their peers
        // they are open already, and their next message must still arrive.
        acceptPending();
    }
    delete accepting_;
    accepting_ = nullptr;
    acceptPause_.stop();
    if (listenFd_ >= 0)
        ::close(listenFd_);
    listenFd_ = -1;
    state_.listening = false;
    state_.port = 0;
    return state_;
}

void LineListener::acceptPending() {
    for (int taken = 0; taken < kAcceptBurst; ++taken) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length,
                                 SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (isResourceShortage(errno) && accepting_) {
                accepting_->setEnabled(false);
                acceptPause_.start(kAcceptPauseMs);
            }
            return;
        }
        const uint32_t address = ntohl(peer.sin_addr.s_addr);
        if (!admits(address) || !makeRoom()) {
            ::close(fd);
            continue;
        }
        useKeepAlive(fd);
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        LineMessage from;
        from.sender = address;
        from.senderHost = QString::fromLatin1(text);
        from.senderPort = QString::number(ntohs(peer.sin_port));
        held_.push_back(new TCustomIpClient(
            fd, std::move(from), shape_, [this](TCustomIpClient* c) { changed(c); }, this));
    }
}

// Whether one more connection may be held outside the reading (idle, or begun and waiting its
// turn); when the bound is reached, room is made by closing the idle connection that has waited
// longest, if there is one.
bool LineListener::makeRoom() {
    using Phase = TCustomIpClient::Phase;
    const auto waiting = std::count_if(held_.begin(), held_.end(), [](const TCustomIpClient* c) {
        return c->phase() == Phase::Idle || c->phase() == Phase::Begun;
    });
    if (waiting < kMaxHeldConnections)
        return true;
    const auto idle = std::find_if(held_.begin(), held_.end(), [](const TCustomIpClient* c) {
        return c->phase() == TCustomIpClient::Phase::Idle;
    });
    if (idle == held_.end())
        return false;
    forget(*idle);
    return true;
}

// Bytes came on an idle connection, or a begun one moved on.
void LineListener::changed(TCustomIpClient* connection) {
    using Phase = TCustomIpClient::Phase;
    if (connection->phase() == Phase::Idle) {
        if (!admits(connection->sender())) {
            forget(connection);
            return;
        }
        if (looksLikeClientHello(connection->peekFirstBytes())) {
            startSession(connection);
            return;
        }
        if (policy_.refusePlain) {
            refusePlain(connection);
            return;
        }
        connection->begin(begun_++, deadlineMs_);
        order_.push_back(connection);
    }
    deliverInOrder();
    startWaiting();
}

// Messages leave in the order they began: a whole one waits for those before it to be whole (or
// dropped, at their deadlines at the latest).
void LineListener::deliverInOrder() {
    using Phase = TCustomIpClient::Phase;
    while (!order_.empty()) {
        TCustomIpClient* first = order_.front();
        if (first->phase() != Phase::Complete && first->phase() != Phase::Dropped)
            return;
        order_.pop_front();
        if (first->phase() == Phase::Complete && admits(first->sender())) {
            ++awaitingWindow_;
            deliver_(first->takeMessage());
        }
        forget(first);
    }
}

// Begun messages are read while fewer than kWorkersPerListener are being read or wait for the
// window.
void LineListener::startWaiting() {
    for (TCustomIpClient* connection : order_) {
        if (busy() >= kWorkersPerListener)
            return;
        connection->startReading();
    }
}

int LineListener::busy() const {
    using Phase = TCustomIpClient::Phase;
    return awaitingWindow_ + int(std::count_if(order_.begin(), order_.end(), [](auto* c) {
               return c->phase() == Phase::Reading || c->phase() == Phase::Complete;
           }));
}

void LineListener::delivered() {
    awaitingWindow_ = std::max(0, awaitingWindow_ - 1);
    startWaiting();
    if (busy() < kWorkersPerListener)
        pauseSessions(false);
}

void LineListener::setSessionPolicy(SessionPolicy policy, QByteArray alpn) {
    policy_ = std::move(policy);
    alpn_ = std::move(alpn);
}

// The first bytes were a ClientHello: the connection's socket goes to a session, if the policy
// takes sessions and the bounds on sessions and pending handshakes have room.
void LineListener::startSession(TCustomIpClient* connection) {
    std::unique_ptr<HandshakeSlot> slot;
    if (policy_.context && int(sessions_.size()) < kMaxSessions)
        slot = takeHandshakeSlot(connection->sender());
    if (!slot) {
        forget(connection);
        return;
    }
    LineMessage from = connection->from();
    const int fd = connection->releaseSocket();
    forget(connection);
    AcceptedSession::Handlers handlers;
    handlers.message = [this](AcceptedSession*, LineMessage message) {
        if (!admits(message.sender))
            return;
        ++awaitingWindow_;
        deliver_(std::move(message));
        if (busy() >= kWorkersPerListener)
            pauseSessions(true);
    };
    handlers.control = [this](AcceptedSession* session, const QByteArray& payload) {
        if (onControl)
            onControl(session->id(), payload);
    };
    handlers.security = [this](AcceptedSession*, const SecurityEvent& event) {
        if (onSecurity)
            onSecurity(event);
    };
    handlers.ended = [this](AcceptedSession* session) { forgetSession(session); };
    sessions_.push_back(new AcceptedSession(fd, std::move(from), nextSession_++, policy_, alpn_,
                                            shape_, std::move(slot), std::move(handlers), this));
}

void LineListener::refusePlain(TCustomIpClient* connection) {
    SecurityEvent event;
    event.kind = SecurityEvent::Kind::PlainRefused;
    event.address = connection->sender();
    forget(connection);
    if (onSecurity)
        onSecurity(event);
}

void LineListener::sendControl(uint64_t session, const QByteArray& payload) {
    for (AcceptedSession* held : sessions_)
        if (held->id() == session)
            held->sendControl(payload);
}

void LineListener::pauseSessions(bool paused) {
    for (AcceptedSession* session : sessions_)
        session->setReading(!paused);
}

void LineListener::forgetSession(AcceptedSession* session) {
    sessions_.remove(session);
    session->deleteLater();
}

// Lets a connection go; it is deleted once the step that uses it has returned.
void LineListener::forget(TCustomIpClient* connection) {
    held_.remove(connection);
    const auto inOrder = std::find(order_.begin(), order_.end(), connection);
    if (inOrder != order_.end())
        order_.erase(inOrder);
    connection->drop(false);
    connection->deleteLater();
}

void LineListener::closeConnectionsNotFrom(uint32_t peer) {
    const std::list<TCustomIpClient*> held = held_;
    for (TCustomIpClient* connection : held) {
        if (connection->sender() != peer)
            forget(connection);
    }
    const std::list<AcceptedSession*> sessions = sessions_;
    for (AcceptedSession* session : sessions) {
        if (session->sender() != peer) {
            session->finish();
            forgetSession(session);
        }
    }
    deliverInOrder();
    startWaiting();
}

void LineListener::shutdownConnections() {
    const std::list<TCustomIpClient*> held = held_;
    for (TCustomIpClient* connection : held)
        forget(connection);
    const std::list<AcceptedSession*> sessions = sessions_;
    for (AcceptedSession* session : sessions) {
        session->finish();
        forgetSession(session);
    }
}
