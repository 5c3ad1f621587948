// The identity of a key and its written forms (crypto/Fingerprint.h).

#include "crypto/Fingerprint.h"

#include <QCryptographicHash>

#include <openssl/x509.h>

namespace {
constexpr int kHexDigitsPerGroup = 4;
}

QByteArray keyFingerprint(const EVP_PKEY* key) {
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key, &der);
    if (length <= 0)
        return {};
    const QByteArray hash = QCryptographicHash::hash(
        QByteArrayView(reinterpret_cast<const char*>(der), length), QCryptographicHash::Sha256);
    OPENSSL_free(der);
    return hash;
}

QString fingerprintGroups(const QByteArray& fingerprint) {
    const QString hex = QString::fromLatin1(fingerprint.toHex().toUpper());
    QString grouped;
    for (qsizetype at = 0; at < hex.size(); at += kHexDigitsPerGroup) {
        if (at > 0)
            grouped += QLatin1Char(' ');
        grouped += hex.mid(at, kHexDigitsPerGroup);
    }
    return grouped;
}

QString fingerprintHint(const QByteArray& fingerprint) {
    return QString::fromLatin1(fingerprint.left(kFingerprintHintBytes).toHex().toUpper());
}
