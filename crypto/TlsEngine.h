#pragma once
// One TLS 1.3 connection with no socket: the network thread feeds it the bytes its socket read
// (ciphertext) and writes out what it hands back, and the engine turns them into the plain bytes
// of the session and back. Both sides show a certificate and accept whatever the other shows;
// after the handshake the caller compares peerFingerprint() with the key it expects before it
// lets anything of the session through.
//
// Each connection belongs to one channel, named by its ALPN protocol (kAlpnChat...): a client
// offers only its channel's name and a server takes only its own, so a connection made for one
// channel fails its handshake, on both sides, at another's port.
//
// Bounded: the engine holds at most
//   - kMaxCiphertextIn bytes fed and not yet decrypted: feed no more than ciphertextRoom() (more
//     is refused: the engine fails rather than hold it); the room opens as takePlain() empties;
//   - kMaxPlainIn decrypted bytes not yet taken (plus OpenSSL's own one record in the making);
//   - kMaxCiphertextOut bytes of ciphertext not yet taken, plus one record: writePlain() takes
//     only what fits and says how much, and the room opens as takeCiphertext() empties;
// so one connection never holds more than about 800 KiB, whatever the peer sends or withholds.
//
// A session ends cleanly with close(), which sends TLS's close_notify; the receiving side sees
// closeNotifyReceived(). A connection that ends (the socket reads end of stream) without it was cut
// off, and what was mid-way in it is to be discarded. The engine keeps no time: how long a
// handshake may take is the caller's to enforce. An engine is used on one thread only.

#include "crypto/TlsContext.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <openssl/types.h>

#include <memory>

// The ALPN names of the four channels.
inline constexpr char kAlpnChat[] = "vorlax-chat/1";
inline constexpr char kAlpnTrade[] = "vorlax-trade/1";
inline constexpr char kAlpnPlot[] = "vorlax-plot/1";
inline constexpr char kAlpnDownload[] = "vorlax-download/1";

class TlsEngine {
public:
    enum class Role { Client, Server };

    static constexpr qsizetype kMaxCiphertextIn = 256 * 1024;
    static constexpr qsizetype kMaxPlainIn = 256 * 1024;
    static constexpr qsizetype kMaxCiphertextOut = 256 * 1024;

    // A client has its ClientHello ready in takeCiphertext() at once; a server waits for it.
    TlsEngine(std::shared_ptr<TlsContext> context, Role role, const QByteArray& alpn);
    ~TlsEngine();
    TlsEngine(const TlsEngine&) = delete;
    TlsEngine& operator=(const TlsEngine&) = delete;

    // How many bytes feedCiphertext() takes now (0 once failed, or while the ciphertext this
    // engine has made waits to be taken: stop reading the socket until it is written).
    qsizetype ciphertextRoom() const;
    // Gives the engine bytes read from the socket and carries the handshake or the decryption as
    // far as they go. False once the engine has failed (a fault in the handshake or the records,
    // more bytes than ciphertextRoom()): end the connection, after writing takeCiphertext()'s
    // last bytes (they may hold the alert that tells the peer why).
    bool feedCiphertext(QByteArrayView bytes);
    // The bytes to write to the socket, emptied.
    QByteArray takeCiphertext();

    // Encrypts as much of bytes as fits and returns how many it took (0 before the handshake is
    // done, once closed or failed, or while the ciphertext waits to be taken).
    qsizetype writePlain(QByteArrayView bytes);
    // The decrypted bytes, emptied. Taking them lets the engine decrypt what it still holds, so
    // call it until it returns nothing.
    QByteArray takePlain();

    bool handshakeDone() const { return handshakeDone_; }
    bool failed() const { return !error_.isEmpty(); }
    const QString& errorText() const { return error_; }
    // The SHA-256 of the peer's public key (crypto/Fingerprint.h); empty before the handshake.
    const QByteArray& peerFingerprint() const { return peerFingerprint_; }
    // length bytes of keying material both sides of this session derive alike (TLS 1.3's
    // exporter, no context), for this label; empty before the handshake or on failure.
    QByteArray exportKeyingMaterial(const QByteArray& label, int length) const;

    // The cipher suite agreed on (e.g. "TLS_AES_256_GCM_SHA384"), for the log; empty before the
    // handshake.
    QString cipherSuite() const;

    // Sends close_notify (in takeCiphertext()); nothing more is written after it.
    void close();
    bool closeNotifyReceived() const { return closeNotifyReceived_; }

private:
    void advance();
    bool finishHandshake();
    void readPlain();
    void fail(const QString& what);

    std::shared_ptr<TlsContext> context_;
    QByteArray alpnName_;
    QByteArray alpnWire_; // the length byte, then the name; the server's ALPN callback reads it
    SSL* ssl_ = nullptr;
    BIO* in_ = nullptr;  // ciphertext fed, owned by ssl_
    BIO* out_ = nullptr; // ciphertext made, owned by ssl_
    QByteArray plainIn_;
    QByteArray peerFingerprint_;
    QString error_;
    bool handshakeDone_ = false;
    bool closed_ = false;
    bool closeNotifyReceived_ = false;
};
