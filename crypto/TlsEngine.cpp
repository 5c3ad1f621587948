// One TLS 1.3 connection over memory buffers (crypto/TlsEngine.h).

#include "crypto/TlsEngine.h"

#include "crypto/Fingerprint.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>

namespace {
constexpr qsizetype kMaxRecordPlain = 16 * 1024; // the most plain bytes one TLS record carries
constexpr int kEmptyBioRetries = -1; // an empty memory buffer means "wait for more", not the end
} // namespace

TlsEngine::TlsEngine(std::shared_ptr<TlsContext> context, Role role, const QByteArray& alpn)
    : context_(std::move(context)), alpnName_(alpn), alpnWire_(char(alpn.size()) + alpn) {
    ERR_clear_error();
    ssl_ = SSL_new(context_->handle());
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    if (!ssl_ || !in_ || !out_) {
        BIO_free(in_);
        BIO_free(out_);
        in_ = out_ = nullptr;
        fail(QStringLiteral("cannot make a TLS connection"));
        return;
    }
    BIO_set_mem_eof_return(in_, kEmptyBioRetries);
    BIO_set_mem_eof_return(out_, kEmptyBioRetries);
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_app_data(ssl_, &alpnWire_);
    if (role == Role::Client) {
        SSL_set_connect_state(ssl_);
        if (SSL_set_alpn_protos(ssl_, reinterpret_cast<const unsigned char*>(alpnWire_.constData()),
                                unsigned(alpnWire_.size())) != 0) {
            fail(QStringLiteral("cannot offer the channel's name"));
            return;
        }
    } else {
        SSL_set_accept_state(ssl_);
    }
    advance();
}

TlsEngine::~TlsEngine() {
    SSL_free(ssl_);
}

qsizetype TlsEngine::ciphertextRoom() const {
    if (failed() || qsizetype(BIO_ctrl_pending(out_)) >= kMaxCiphertextOut)
        return 0;
    return std::max<qsizetype>(0, kMaxCiphertextIn - qsizetype(BIO_ctrl_pending(in_)));
}

bool TlsEngine::feedCiphertext(QByteArrayView bytes) {
    if (failed())
        return false;
    if (bytes.size() > ciphertextRoom()) {
        fail(QStringLiteral("more ciphertext than the connection holds"));
        return false;
    }
    if (!bytes.isEmpty() && BIO_write(in_, bytes.data(), int(bytes.size())) != bytes.size()) {
        fail(QStringLiteral("cannot hold the ciphertext"));
        return false;
    }
    advance();
    return !failed();
}

QByteArray TlsEngine::takeCiphertext() {
    if (!out_)
        return {};
    QByteArray bytes(qsizetype(BIO_ctrl_pending(out_)), Qt::Uninitialized);
    if (!bytes.isEmpty())
        bytes.resize(std::max(0, BIO_read(out_, bytes.data(), int(bytes.size()))));
    return bytes;
}

qsizetype TlsEngine::writePlain(QByteArrayView bytes) {
    if (failed() || !handshakeDone_ || closed_)
        return 0;
    ERR_clear_error();
    qsizetype taken = 0;
    while (taken < bytes.size() && qsizetype(BIO_ctrl_pending(out_)) < kMaxCiphertextOut) {
        const qsizetype length = std::min(bytes.size() - taken, kMaxRecordPlain);
        size_t written = 0;
        if (SSL_write_ex(ssl_, bytes.data() + taken, size_t(length), &written) != 1) {
            fail(QStringLiteral("cannot encrypt"));
            break;
        }
        taken += qsizetype(written);
    }
    return taken;
}

QByteArray TlsEngine::takePlain() {
    QByteArray bytes;
    bytes.swap(plainIn_);
    advance();
    return bytes;
}

QByteArray TlsEngine::exportKeyingMaterial(const QByteArray& label, int length) const {
    if (!handshakeDone_ || failed() || length <= 0)
        return {};
    QByteArray material(length, Qt::Uninitialized);
    if (SSL_export_keying_material(ssl_, reinterpret_cast<unsigned char*>(material.data()),
                                   size_t(length), label.constData(), size_t(label.size()), nullptr,
                                   0, 0) != 1) {
        ERR_clear_error();
        return {};
    }
    return material;
}

QString TlsEngine::cipherSuite() const {
    if (!handshakeDone_)
        return {};
    return QString::fromLatin1(SSL_CIPHER_get_name(SSL_get_current_cipher(ssl_)));
}

void TlsEngine::close() {
    if (closed_ || failed())
        return;
    closed_ = true;
    if (handshakeDone_) {
        ERR_clear_error();
        SSL_shutdown(ssl_); // writes close_notify; the peer's own is seen by readPlain()
        ERR_clear_error();
    }
}

// Carries the handshake, then the decryption, as far as the bytes fed allow.
void TlsEngine::advance() {
    if (failed())
        return;
    if (!handshakeDone_) {
        ERR_clear_error();
        const int result = SSL_do_handshake(ssl_);
        if (result != 1) {
            if (SSL_get_error(ssl_, result) != SSL_ERROR_WANT_READ)
                fail(QStringLiteral("the TLS handshake failed"));
            return;
        }
        if (!finishHandshake())
            return;
    }
    readPlain();
}

// The handshake is done as far as TLS goes: the channel's name and the peer's key are checked.
bool TlsEngine::finishHandshake() {
    const unsigned char* selected = nullptr;
    unsigned int selectedLength = 0;
    SSL_get0_alpn_selected(ssl_, &selected, &selectedLength);
    const X509* certificate = SSL_get0_peer_certificate(ssl_);
    if (QByteArrayView(selected, selectedLength) != alpnName_)
        fail(QStringLiteral("the peer does not speak this channel's protocol"));
    else if (!certificate)
        fail(QStringLiteral("the peer showed no certificate"));
    else if ((peerFingerprint_ = keyFingerprint(X509_get0_pubkey(certificate))).isEmpty())
        fail(QStringLiteral("the peer's key cannot be read"));
    if (failed()) {
        takeCiphertext(); // the handshake's last message would tell the peer all went well
        return false;
    }
    handshakeDone_ = true;
    return true;
}

// Decrypts what has been fed, until plainIn_ holds its bound or nothing whole is left.
void TlsEngine::readPlain() {
    ERR_clear_error();
    while (!closeNotifyReceived_ && plainIn_.size() < kMaxPlainIn) {
        const qsizetype had = plainIn_.size();
        plainIn_.resize(std::min(had + kMaxRecordPlain, kMaxPlainIn));
        size_t read = 0;
        const int result =
            SSL_read_ex(ssl_, plainIn_.data() + had, size_t(plainIn_.size() - had), &read);
        plainIn_.resize(had + qsizetype(read));
        if (result == 1)
            continue;
        const int error = SSL_get_error(ssl_, result);
        if (error == SSL_ERROR_ZERO_RETURN)
            closeNotifyReceived_ = true;
        else if (error != SSL_ERROR_WANT_READ)
            fail(QStringLiteral("the TLS connection failed"));
        return;
    }
}

void TlsEngine::fail(const QString& what) {
    const QString detail = takeOpenSslErrors({});
    if (error_.isEmpty())
        error_ = detail.isEmpty() ? what : what + QLatin1String(": ") + detail;
}
