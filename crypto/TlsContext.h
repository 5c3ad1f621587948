#pragma once
// The TLS settings every session of this copy shares, made once per identity: TLS 1.3 only, this
// copy's certificate and key, a certificate asked of the peer on both sides and accepted whatever
// it is (the caller checks its key's fingerprint after the handshake), no session tickets and no
// resumption (a session lives as long as its connection). One context serves many engines
// (crypto/TlsEngine.h) on one thread.

#include "crypto/Identity.h"

#include <QString>

#include <openssl/types.h>

#include <memory>

class TlsContext {
public:
    // The context for this identity, or nullptr with the reason in *error.
    static std::shared_ptr<TlsContext> create(const Identity& identity, QString* error);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    SSL_CTX* handle() const { return context_; }
    const QByteArray& fingerprint() const { return fingerprint_; }

private:
    TlsContext(SSL_CTX* context, QByteArray fingerprint);
    SSL_CTX* context_;
    QByteArray fingerprint_;
};

// The text of the errors OpenSSL has queued on this thread (emptying the queue), or fallback.
QString takeOpenSslErrors(const QString& fallback);
