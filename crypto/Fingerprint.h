#pragma once
// A copy's identity is its public key, named by the SHA-256 of the key's SubjectPublicKeyInfo in
// DER: 32 bytes that do not depend on the certificate around the key, so a certificate made anew
// for the same key keeps the same identity. Shown to people as hex in groups of four digits, and
// announced on the network as a short hint (its first bytes), which only helps to find the peer
// again and proves nothing.

#include <QByteArray>
#include <QString>

#include <openssl/types.h>

inline constexpr int kFingerprintBytes = 32;
inline constexpr int kFingerprintHintBytes = 8;

// The fingerprint of a public (or private) key; empty when the key cannot be encoded.
QByteArray keyFingerprint(const EVP_PKEY* key);

// "AB12 CD34 ..." : upper-case hex, four digits to a group, groups separated by one space (16
// groups for a fingerprint).
QString fingerprintGroups(const QByteArray& fingerprint);

// The first kFingerprintHintBytes as 16 upper-case hex digits, for announcements.
QString fingerprintHint(const QByteArray& fingerprint);
