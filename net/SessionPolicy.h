#pragma once
// What the window tells the network thread about encrypted sessions with the peer, and what the
// network thread reports of them.
//
// A listener takes a connection whose first bytes are a TLS ClientHello as a session when it has a
// context, and refuses it when not; it refuses plain connections while refusePlain is set. A
// client opens its connections as sessions when it has a context, plain otherwise. Either side lets
// a session through only when the key the peer showed is expectedKey (any key while that is
// empty): nothing of a session is read, applied or written before that check passes. A line
// listener that refuses the key says so in one control frame (kKeyRefusedMessage) before TLS's
// close, so a copy whose key its peer does not take learns why its sessions end.

#include "crypto/TlsContext.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>

// The control frame payload by which a listener tells a client that its key was refused.
inline constexpr char kKeyRefusedMessage = 0x10;

struct SessionPolicy {
    std::shared_ptr<TlsContext> context; // nullptr: no sessions
    QByteArray expectedKey;              // the peer's key fingerprint; empty: any key
    bool refusePlain = false;            // plain connections are refused (and reported)

    bool keyPasses(const QByteArray& key) const {
        return expectedKey.isEmpty() || key == expectedKey;
    }
};

// What happened to one session or one refused connection, for the window.
struct SecurityEvent {
    enum class Kind {
        Established,     // a session passed its key check: `key`
        KeyRefused,      // the peer showed another key than the one expected: `key`
        HandshakeFailed, // the TLS handshake failed or took too long: `reason`
        PlainRefused,    // a plain connection came while plain is refused
        Ended,           // an established session ended; `reason` empty when cleanly
        RefusedByPeer,   // the peer's listener refused this copy's key on a client's own session
    };
    Kind kind = Kind::Established;
    uint32_t address = 0; // the peer's IPv4 address, host byte order
    QByteArray key;
    QString reason;
    uint64_t session = 0;    // the listener's session it concerns (0: a client's own)
    QByteArray verifySecret; // Established: the session's secret for the verification code
};
