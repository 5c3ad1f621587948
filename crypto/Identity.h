#pragma once
// This copy's identity: an Ed25519 key pair and a self-signed certificate for it, kept as two PEM
// files in the copy's folder with mode 0600. The first use makes them; later runs load them.
//
// Ed25519 rather than ECDSA P-256: both sign TLS 1.3 certificates with OpenSSL 3, but an Ed25519
// signature needs no random number per signature (a weak one cannot leak the key), the key has no
// curve parameters to get wrong, and it is small and fast to make and check.
//
// The certificate carries nothing anyone checks (subject CN "Vorlax", valid for a century): each
// side accepts any certificate in the handshake and then compares the key's fingerprint with the
// one it expects (crypto/Fingerprint.h).
//
// A file that cannot be read, or does not hold a key or certificate (or not the two that belong
// together), is reported and left as it is: replacing it would change the identity peers have
// verified. The key file is written first; a certificate missing beside a good key (a run that
// stopped between the two) is made again from the key, which keeps the identity. A certificate
// without its key is reported too. Each file is written under a temporary name, created
// exclusively, flushed and renamed into place, so a half-written key never stays. A key file found
// with looser permissions is made 0600 again.

#include <QByteArray>
#include <QString>

#include <openssl/types.h>

#include <memory>
#include <optional>

inline constexpr char kIdentityKeyFile[] = "Vorlax-key.pem";
inline constexpr char kIdentityCertificateFile[] = "Vorlax-cert.pem";

struct Identity {
    std::shared_ptr<EVP_PKEY> key;
    std::shared_ptr<X509> certificate;
    QByteArray fingerprint; // SHA-256 of the public key (crypto/Fingerprint.h)
};

struct IdentityLoad {
    std::optional<Identity> identity; // set when loaded or made
    bool created = false;             // the key was made by this call
    QString error;                    // why there is no identity
};

// Loads the identity kept in folder, or makes and keeps one when folder holds none.
IdentityLoad loadOrCreateIdentity(const QString& folder);
