// Making, keeping and loading this copy's key pair and certificate (crypto/Identity.h).

#include "crypto/Identity.h"

#include "crypto/Fingerprint.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kCertificateValidityDays = 100 * 365;
constexpr long kBackdateSeconds = 24 * 60 * 60; // a peer's clock a day behind still sees it valid
constexpr int kSerialBits = 127;                // random and positive
constexpr mode_t kPrivateFileMode = 0600;
constexpr int kTemporarySuffixBytes = 8;

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct BnFree {
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

std::shared_ptr<EVP_PKEY> ownKey(EVP_PKEY* key) {
    return key ? std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free) : nullptr;
}
std::shared_ptr<X509> ownCertificate(X509* certificate) {
    return certificate ? std::shared_ptr<X509>(certificate, X509_free) : nullptr;
}

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

QByteArray bioBytes(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return QByteArray(data, length);
}

std::shared_ptr<X509> makeCertificate(EVP_PKEY* key) {
    auto certificate = ownCertificate(X509_new());
    std::unique_ptr<BIGNUM, BnFree> serial(BN_new());
    X509_NAME* name = X509_get_subject_name(certificate.get());
    const bool made =
        serial && X509_set_version(certificate.get(), X509_VERSION_3) &&
        BN_rand(serial.get(), kSerialBits, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) &&
        BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate.get())) &&
        X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -kBackdateSeconds) &&
        X509_time_adj_ex(X509_getm_notAfter(certificate.get()), kCertificateValidityDays, 0,
                         nullptr) &&
        X509_set_pubkey(certificate.get(), key) &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("Vorlax"), -1, -1, 0) &&
        X509_set_issuer_name(certificate.get(), name) &&
        X509_sign(certificate.get(), key, nullptr) > 0; // Ed25519 takes no separate digest
    return made ? certificate : nullptr;
}

// Writes bytes as a new file at path with mode 0600: under an exclusively created temporary name
// first, flushed, then renamed into place. Returns the error text, empty on success.
QString writePrivateFile(const QString& path, const QByteArray& bytes) {
    QByteArray suffix(kTemporarySuffixBytes, '\0');
    RAND_bytes(reinterpret_cast<unsigned char*>(suffix.data()), kTemporarySuffixBytes);
    const QByteArray temporary = QFile::encodeName(path) + ".part-" + suffix.toHex();
    const int fd =
        ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode);
    if (fd < 0)
        return QStringLiteral("cannot create %1: %2").arg(path, systemError());
    bool written = ::fchmod(fd, kPrivateFileMode) == 0; // whatever the umask says
    for (qsizetype done = 0; written && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        written = n > 0 || (n < 0 && errno == EINTR);
        done += std::max<ssize_t>(n, 0);
    }
    written = written && ::fsync(fd) == 0;
    const QString error = systemError();
    ::close(fd);
    if (!written || ::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0) {
        const QString why = written ? systemError() : error;
        ::unlink(temporary.constData());
        return QStringLiteral("cannot write %1: %2").arg(path, why);
    }
    return {};
}

QString writePem(const QString& path, int (*write)(BIO*, void*), void* object) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || !write(bio.get(), object))
        return QStringLiteral("cannot encode %1").arg(path);
    return writePrivateFile(path, bioBytes(bio.get()));
}

int writeKeyPem(BIO* bio, void* key) {
    return PEM_write_bio_PrivateKey(bio, static_cast<EVP_PKEY*>(key), nullptr, nullptr, 0, nullptr,
                                    nullptr);
}
int writeCertificatePem(BIO* bio, void* certificate) {
    return PEM_write_bio_X509(bio, static_cast<X509*>(certificate));
}

// A key file protected by a pass phrase is not one this program wrote: no prompt for one.
int noPassPhrase(char*, int, int, void*) {
    return 0;
}

// What the PEM file at path holds, read with read; nullptr with the error text when the file
// cannot be read or holds no such thing.
template <class T>
std::shared_ptr<T> readPem(const QString& path, T* (*read)(BIO*, T**, pem_password_cb*, void*),
                           void (*release)(T*), const char* what, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return nullptr;
    }
    const QByteArray bytes = file.readAll();
    Bio bio(BIO_new_mem_buf(bytes.constData(), int(bytes.size())));
    T* object = bio ? read(bio.get(), nullptr, noPassPhrase, nullptr) : nullptr;
    if (!object) {
        *error = QStringLiteral("%1 does not hold a usable %2; it is left as it is (move it away "
                                "to make a new identity)")
                     .arg(path, QLatin1String(what));
        return nullptr;
    }
    return std::shared_ptr<T>(object, release);
}

std::shared_ptr<EVP_PKEY> loadOrMakeKey(const QString& path, bool exists, QString* error) {
    if (exists) {
        // A key copied in by hand may have come with looser permissions: it is made private again
        // (its contents stay as they are).
        ::chmod(QFile::encodeName(path).constData(), kPrivateFileMode);
        return readPem(path, PEM_read_bio_PrivateKey, EVP_PKEY_free, "private key", error);
    }
    auto key = ownKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    if (!key)
        *error = QStringLiteral("cannot make a key pair");
    else if (!(*error = writePem(path, writeKeyPem, key.get())).isEmpty())
        return nullptr;
    return key;
}

std::shared_ptr<X509> loadOrMakeCertificate(const QString& path, bool exists, EVP_PKEY* key,
                                            QString* error) {
    if (!exists) {
        auto certificate = makeCertificate(key);
        if (!certificate)
            *error = QStringLiteral("cannot make a certificate");
        else if (!(*error = writePem(path, writeCertificatePem, certificate.get())).isEmpty())
            return nullptr;
        return certificate;
    }
    auto certificate = readPem(path, PEM_read_bio_X509, X509_free, "certificate", error);
    if (certificate && X509_check_private_key(certificate.get(), key) != 1) {
        *error = QStringLiteral("%1 is not the certificate of the key beside it; both are left "
                                "as they are")
                     .arg(path);
        return nullptr;
    }
    return certificate;
}

} // namespace

IdentityLoad loadOrCreateIdentity(const QString& folder) {
    QDir().mkpath(folder);
    const QDir dir(folder);
    const QString keyPath = dir.filePath(QLatin1String(kIdentityKeyFile));
    const QString certificatePath = dir.filePath(QLatin1String(kIdentityCertificateFile));
    const bool keyExists = QFileInfo::exists(keyPath);
    const bool certificateExists = QFileInfo::exists(certificatePath);
    IdentityLoad load;
    Identity identity;
    if (!keyExists && certificateExists)
        load.error = QStringLiteral("%1 has no key beside it (%2); move it away to make a new "
                                    "identity")
                         .arg(certificatePath, QLatin1String(kIdentityKeyFile));
    else if ((identity.key = loadOrMakeKey(keyPath, keyExists, &load.error)))
        identity.certificate = loadOrMakeCertificate(certificatePath, certificateExists,
                                                     identity.key.get(), &load.error);
    ERR_clear_error(); // what went wrong is in load.error
    if (identity.certificate) {
        identity.fingerprint = keyFingerprint(identity.key.get());
        load.identity = std::move(identity);
        load.created = !keyExists;
    }
    return load;
}
