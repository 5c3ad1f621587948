#pragma once
// One encrypted connection of a session, on the network thread: a connected TCP socket, the TLS
// engine that turns its bytes into the session's and back (crypto/TlsEngine.h), and the frames the
// session carries (crypto/Frames.h).
//
// The handshake must finish within the handshake time; then handshakeDone runs, and the owner
// checks the peer's key (peerFingerprint()) before anything of the session goes anywhere: only
// after admit() are frames read and handed to frameArrived. Sending is open after the handshake;
// the owner sends nothing before its key check.
//
// Bounded: at most the engine's own buffers and one frame (or, streaming, one piece) are held on
// the receiving side; reading stops while setReading(false) or while the socket's outgoing buffer
// is full. What is handed to send() is held until it is encrypted: the owner keeps that small by
// looking at unsent(): wrote runs each time the socket has passed some bytes on to the system, so a
// streaming owner tops its window up while the rest is still on its way; drained runs each time all
// of it has reached the socket.
//
// ended runs once: with an empty reason when the peer closed the session cleanly (TLS's close at a
// frame boundary), otherwise with what went wrong (a failed or late handshake, a record that does
// not decrypt, a frame beyond the bound, a connection cut without TLS's close). The owner deletes
// the object afterwards (deleteLater).

#include "crypto/Frames.h"
#include "crypto/TlsEngine.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

class QTcpSocket;

// How long a TLS handshake may take.
inline constexpr int kHandshakeTimeoutMs = 5000;

class TlsSocket : public QObject {
public:
    struct Settings {
        std::shared_ptr<TlsContext> context;
        TlsEngine::Role role = TlsEngine::Role::Client;
        QByteArray alpn;
        qint64 maxFramePayload = 0;
        FrameReader::Mode mode = FrameReader::Mode::WholeFrames;
        int handshakeMs = kHandshakeTimeoutMs;
    };

    // Takes over the connected socket descriptor fd (it is closed with this object).
    TlsSocket(intptr_t fd, Settings settings, QObject* parent);
    ~TlsSocket() override;

    std::function<void()> handshakeDone;
    std::function<void(FrameEvent event)> frameArrived;
    std::function<void(const QString& reason)> ended;
    std::function<void()> wrote;
    std::function<void()> drained;

    // The peer's key passed the owner's check: frames are read from now on.
    void admit();
    void setReading(bool on);
    // Queues plain bytes of the session (whole frames, or a streamed frame's header and pieces).
    void send(QByteArray bytes);
    // Plain bytes queued and ciphertext not yet taken by the system.
    qint64 unsent() const;
    // Ends the session cleanly: what is queued goes out, then TLS's close, then the socket closes.
    // ended does not run after it.
    void finish();
    // Ends at once without TLS's close; ended does not run after it.
    void abort();

    bool established() const { return engine_.handshakeDone() && !over_; }
    const QByteArray& peerFingerprint() const { return engine_.peerFingerprint(); }
    // The secret both sides of this session derive alike for the verification code.
    QByteArray verifySecret() const;
    uint32_t peerAddress() const { return peerAddress_; }

private:
    void readable();
    void deliverFrames();
    void pumpOut();
    void flushCiphertext();
    void endOfStream();
    void end(const QString& reason);

    TlsEngine engine_;
    FrameReader frames_;
    QTcpSocket* socket_;
    QTimer handshakeTimer_{this};
    std::deque<QByteArray> outgoing_;
    qsizetype outgoingOffset_ = 0; // of outgoing_.front(), already taken by the engine
    qint64 outgoingBytes_ = 0;
    uint32_t peerAddress_ = 0;
    bool handshakeTold_ = false;
    bool admitted_ = false;
    bool reading_ = true;
    bool finishing_ = false;
    bool over_ = false;
};
