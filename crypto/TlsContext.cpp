// The shared TLS settings of one identity (crypto/TlsContext.h).

#include "crypto/TlsContext.h"

#include <QStringList>

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace {

constexpr int kOpenSslErrorTextBytes = 256;

// Any certificate is accepted here: peers' certificates are self-signed, and what identifies a
// peer is its key, which the caller compares afterwards. TLS 1.3 still proves that the peer holds
// the key of the certificate it showed (its CertificateVerify signature), whatever this returns.
int acceptAnyCertificate(int, X509_STORE_CTX*) {
    return 1;
}

// A server takes only its own channel's ALPN name, which its engine leaves, in wire form (a length
// byte, then the name), as the connection's app data; a client offering another gets a fatal
// no_application_protocol alert, so the handshake fails on both sides.
int selectAlpn(SSL* ssl, const unsigned char** out, unsigned char* outLength,
               const unsigned char* offered, unsigned int offeredLength, void*) {
    const auto* wanted = static_cast<const QByteArray*>(SSL_get_app_data(ssl));
    unsigned char* selected = nullptr;
    if (!wanted ||
        SSL_select_next_proto(
            &selected, outLength, reinterpret_cast<const unsigned char*>(wanted->constData()),
            unsigned(wanted->size()), offered, offeredLength) != OPENSSL_NPN_NEGOTIATED)
        return SSL_TLSEXT_ERR_ALERT_FATAL;
    *out = selected;
    return SSL_TLSEXT_ERR_OK;
}

} // namespace

QString takeOpenSslErrors(const QString& fallback) {
    QStringList texts;
    for (unsigned long code = ERR_get_error(); code != 0; code = ERR_get_error()) {
        char text[kOpenSslErrorTextBytes];
        ERR_error_string_n(code, text, sizeof text);
        texts.append(QString::fromLatin1(text));
    }
    return texts.isEmpty() ? fallback : texts.join(QLatin1String("; "));
}

// AES-128-GCM first: with the processor's AES instructions it encrypts a file faster than the
// 256-bit suite, and 128-bit keys are far beyond any attack on a session. ChaCha20 serves machines
// without them; the 256-bit suite stays for a peer that insists on it.
constexpr char kCipherSuites[] =
    "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384";

std::shared_ptr<TlsContext> TlsContext::create(const Identity& identity, QString* error) {
    ERR_clear_error();
    SSL_CTX* context = SSL_CTX_new(TLS_method());
    const bool made = context && SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION) &&
                      SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION) &&
                      SSL_CTX_use_certificate(context, identity.certificate.get()) == 1 &&
                      SSL_CTX_use_PrivateKey(context, identity.key.get()) == 1 &&
                      SSL_CTX_check_private_key(context) == 1 &&
                      SSL_CTX_set_num_tickets(context, 0) == 1 &&
                      SSL_CTX_set_ciphersuites(context, kCipherSuites) == 1;
    if (!made) {
        *error = takeOpenSslErrors(QStringLiteral("cannot set up TLS"));
        SSL_CTX_free(context);
        return nullptr;
    }
    SSL_CTX_set_options(context, SSL_OP_NO_TICKET);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                       acceptAnyCertificate);
    SSL_CTX_set_alpn_select_cb(context, selectAlpn, nullptr);
    return std::shared_ptr<TlsContext>(new TlsContext(context, identity.fingerprint));
}

TlsContext::TlsContext(SSL_CTX* context, QByteArray fingerprint)
    : context_(context), fingerprint_(std::move(fingerprint)) {}

TlsContext::~TlsContext() {
    SSL_CTX_free(context_);
}
