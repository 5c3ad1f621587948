#pragma once
// An encrypted session a line listener accepted, on the network thread. After the handshake the
// peer's key is checked against the listener's policy; only a key that passes lets anything of the
// session through. Each data frame is then read as one plain connection's message of the channel
// (the same shape and bounds) and handed on whole; control frames go their own way.

#include "crypto/Frames.h"
#include "net/LineMessage.h"
#include "net/MessageReader.h"
#include "net/SessionPolicy.h"

#include <QObject>

#include <functional>
#include <memory>

class HandshakeSlot;
class TlsSocket;

class AcceptedSession : public QObject {
public:
    struct Handlers {
        std::function<void(AcceptedSession*, LineMessage)> message;
        std::function<void(AcceptedSession*, const QByteArray&)> control;
        std::function<void(AcceptedSession*, const SecurityEvent&)> security;
        std::function<void(AcceptedSession*)> ended; // the listener lets it go
    };

    // Takes the socket fd whose first bytes were a ClientHello, and the handshake slot it holds.
    AcceptedSession(int fd, LineMessage from, uint64_t id, const SessionPolicy& policy,
                    const QByteArray& alpn, MessageShape shape, std::unique_ptr<HandshakeSlot> slot,
                    Handlers handlers, QObject* parent);
    ~AcceptedSession() override;

    uint64_t id() const { return from_.session; }
    uint32_t sender() const { return from_.sender; }
    // Reading pauses while the window has its hands full.
    void setReading(bool on);
    void sendControl(const QByteArray& payload);
    // Ends the session cleanly.
    void finish();

private:
    void handshakeDone();
    void frame(FrameEvent event);
    void end(SecurityEvent::Kind kind, const QString& reason);
    SecurityEvent event(SecurityEvent::Kind kind, const QString& reason) const;

    LineMessage from_;
    SessionPolicy policy_;
    MessageShape shape_;
    std::unique_ptr<HandshakeSlot> slot_;
    Handlers handlers_;
    TlsSocket* tls_;
    bool admitted_ = false;
};

// The longest data frame a channel of this shape carries: its longest message with its line ends.
qint64 maxFrameFor(const MessageShape& shape);
