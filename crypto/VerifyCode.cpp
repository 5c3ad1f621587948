// The verification code's exchange and its computation (crypto/VerifyCode.h).

#include "crypto/VerifyCode.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QtEndian>

#include <openssl/rand.h>

namespace {
constexpr char kCommitPrefix[] = "vorlax verify commit";
constexpr quint64 kCodeModulus = 1000000;
constexpr int kCodeDigits = 6;
constexpr int kCodeGroupDigits = 3;
// The kind, then 32 bytes: a commitment (a SHA-256) or r.
constexpr qsizetype kMessageBytes = 1 + kVerifyRandomBytes;
} // namespace

QByteArray verifyCommitment(QByteArrayView random, QByteArrayView fingerprint) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArrayView(kCommitPrefix));
    hash.addData(random);
    hash.addData(fingerprint);
    return hash.result();
}

QString verifyCodeText(QByteArrayView secret, QByteArrayView clientRandom,
                       QByteArrayView serverRandom) {
    QMessageAuthenticationCode mac(QCryptographicHash::Sha256, secret.toByteArray());
    mac.addData(clientRandom.data(), clientRandom.size());
    mac.addData(serverRandom.data(), serverRandom.size());
    const quint64 number = qFromBigEndian<quint64>(mac.result().constData()) % kCodeModulus;
    const QString digits = QStringLiteral("%1").arg(number, kCodeDigits, 10, QLatin1Char('0'));
    return digits.left(kCodeGroupDigits) + QLatin1Char(' ') + digits.mid(kCodeGroupDigits);
}

VerifyCode::VerifyCode(Role role, QByteArray ownFingerprint, QByteArray peerFingerprint,
                       QByteArray exporterSecret)
    : role_(role), ownFingerprint_(std::move(ownFingerprint)),
      peerFingerprint_(std::move(peerFingerprint)), secret_(std::move(exporterSecret)),
      random_(kVerifyRandomBytes, Qt::Uninitialized) {
    if (RAND_bytes(reinterpret_cast<unsigned char*>(random_.data()), kVerifyRandomBytes) != 1)
        fail(QStringLiteral("no random bytes"));
    else if (secret_.size() != kVerifySecretBytes)
        fail(QStringLiteral("no secret of the session"));
}

QList<QByteArray> VerifyCode::start() {
    const QByteArray commit = kVerifyCommitMessage + verifyCommitment(random_, ownFingerprint_);
    switch (state_) {
    case State::Idle:
        state_ = State::Committed;
        return {commit};
    case State::PeerCommitted:
        state_ = State::Revealed;
        return {commit, revealMessage()};
    default:
        return {}; // already begun, or over
    }
}

QList<QByteArray> VerifyCode::received(QByteArrayView payload) {
    if (state_ == State::Done || state_ == State::Failed)
        return {};
    if (payload.size() != kMessageBytes)
        return fail(QStringLiteral("a malformed verification message"));
    if (payload[0] == kVerifyCommitMessage)
        return commitReceived(payload.sliced(1));
    if (payload[0] == kVerifyRevealMessage)
        return revealReceived(payload.sliced(1));
    return fail(QStringLiteral("an unknown verification message"));
}

QList<QByteArray> VerifyCode::commitReceived(QByteArrayView commitment) {
    if (state_ != State::Idle && state_ != State::Committed)
        return fail(QStringLiteral("a second commitment"));
    peerCommitment_ = commitment.toByteArray();
    if (state_ == State::Idle) {
        state_ = State::PeerCommitted;
        return {};
    }
    state_ = State::Revealed;
    return {revealMessage()};
}

QList<QByteArray> VerifyCode::revealReceived(QByteArrayView random) {
    if (state_ != State::Revealed)
        return fail(QStringLiteral("the peer revealed its value out of order"));
    // Our own value coming back would be a reflection of our own messages.
    if (random == random_ || verifyCommitment(random, peerFingerprint_) != peerCommitment_)
        return fail(QStringLiteral("the peer's value does not match its commitment"));
    const bool client = role_ == Role::Client;
    code_ = verifyCodeText(secret_, client ? QByteArrayView(random_) : random,
                           client ? random : QByteArrayView(random_));
    state_ = State::Done;
    return {};
}

QList<QByteArray> VerifyCode::fail(const QString& why) {
    state_ = State::Failed;
    failure_ = why;
    return {};
}

QByteArray VerifyCode::revealMessage() const {
    return kVerifyRevealMessage + random_;
}
