#include "net/AcceptedSession.h"

#include "net/HandshakeLimits.h"
#include "net/TlsSocket.h"

#include <algorithm>
#include <utility>

namespace {
constexpr qint64 kLineEndBytes = 2;
constexpr qint64 kMaxSessionFrame = 64 * 1024 * 1024;
} // namespace

qint64 maxFrameFor(const MessageShape& shape) {
    const qint64 lines = std::min<qint64>(shape.maxLines, kMaxSessionFrame);
    const qint64 lineEnds = shape.countLineEnds ? 0 : lines * kLineEndBytes;
    const qint64 oneLine = kMaxLineBytes + kLineEndBytes;
    const qint64 bound = std::min(shape.maxBytes, kMaxSessionFrame - lineEnds) + lineEnds;
    return std::clamp(bound, oneLine, kMaxSessionFrame);
}

AcceptedSession::AcceptedSession(int fd, LineMessage from, uint64_t id, const SessionPolicy& policy,
                                 const QByteArray& alpn, MessageShape shape,
                                 std::unique_ptr<HandshakeSlot> slot, Handlers handlers,
                                 QObject* parent)
    : QObject(parent), from_(std::move(from)), policy_(policy), shape_(std::move(shape)),
      slot_(std::move(slot)), handlers_(std::move(handlers)) {
    from_.session = id;
    TlsSocket::Settings settings;
    settings.context = policy.context;
    settings.role = TlsEngine::Role::Server;
    settings.alpn = alpn;
    settings.maxFramePayload = maxFrameFor(shape_);
    tls_ = new TlsSocket(fd, settings, this);
    tls_->handshakeDone = [this] { handshakeDone(); };
    tls_->frameArrived = [this](FrameEvent event) { frame(std::move(event)); };
    tls_->ended = [this](const QString& reason) {
        end(admitted_ ? SecurityEvent::Kind::Ended : SecurityEvent::Kind::HandshakeFailed, reason);
    };
}

AcceptedSession::~AcceptedSession() = default;

void AcceptedSession::handshakeDone() {
    slot_.reset();
    from_.peerKey = tls_->peerFingerprint();
    if (!policy_.keyPasses(from_.peerKey)) {
        // The client hears why, then TLS's close; nothing of what it sent is read.
        TlsSocket* refused = std::exchange(tls_, nullptr);
        refused->setParent(parent());
        refused->send(encodeControlFrame(QByteArray(1, kKeyRefusedMessage)));
        refused->finish();
        end(SecurityEvent::Kind::KeyRefused, {});
        return;
    }
    admitted_ = true;
    tls_->admit();
    handlers_.security(this, event(SecurityEvent::Kind::Established, {}));
}

// A data frame is read as one plain connection's message; one that its channel would drop is
// dropped, and the session goes on.
void AcceptedSession::frame(FrameEvent event) {
    if (event.kind == FrameEvent::Kind::Control) {
        handlers_.control(this, event.bytes);
        return;
    }
    MessageReader reader(shape_);
    MessageReader::State state = reader.feed(event.bytes.constData(), event.bytes.size());
    if (state == MessageReader::State::Reading)
        state = reader.end();
    if (state != MessageReader::State::Complete)
        return;
    LineMessage message = from_;
    message.lines = reader.takeLines();
    handlers_.message(this, std::move(message));
}

void AcceptedSession::setReading(bool on) {
    if (tls_)
        tls_->setReading(on);
}

void AcceptedSession::sendControl(const QByteArray& payload) {
    if (tls_ && admitted_)
        tls_->send(encodeControlFrame(payload));
}

void AcceptedSession::finish() {
    if (!tls_)
        return;
    std::exchange(tls_, nullptr)->finish();
    admitted_ = false;
}

void AcceptedSession::end(SecurityEvent::Kind kind, const QString& reason) {
    slot_.reset();
    handlers_.security(this, event(kind, reason));
    handlers_.ended(this);
}

SecurityEvent AcceptedSession::event(SecurityEvent::Kind kind, const QString& reason) const {
    SecurityEvent event;
    event.kind = kind;
    event.address = from_.sender;
    event.key = from_.peerKey;
    event.reason = reason;
    event.session = from_.session;
    if (tls_ && kind == SecurityEvent::Kind::Established)
        event.verifySecret = tls_->verifySecret();
    return event;
}
