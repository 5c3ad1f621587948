#pragma once
// The 6-digit code two people compare to know that no one sits between their copies. Each side
// picks 32 random bytes r and sends a commitment to them before it may see the other's:
//
//   commit = SHA-256("vorlax verify commit" || r || own fingerprint)
//   control frame payload: 0x01, then the 32 bytes of the commitment
//
// and only once it holds the other side's commitment does it reveal its r:
//
//   control frame payload: 0x02, then the 32 bytes of r
//
// Each side checks the revealed r against the commitment (with the fingerprint of the key the peer
// showed in the handshake), then both compute
//
//   code = (first 8 bytes of HMAC-SHA256(key = the session's exporter secret,
//                                        data = r of the client || r of the server),
//           as a big-endian number) mod 1 000 000
//
// shown as two groups of three digits, zero-padded: "012 345" (easier to read aloud). A man in the
// middle holds two sessions with two exporter secrets; he must commit to his r in each before he
// learns the r it is mixed with, so he can make the two codes agree only by a guess: one in a
// million. The exporter secret is the session's TLS exporter with label kVerifyExporterLabel,
// kVerifySecretBytes long (TlsEngine::exportKeyingMaterial).
//
//   Idle --start()--> Committed --commit--> Revealed --reveal (matches)--> Done
//   Idle --commit--> PeerCommitted --start()--> Revealed ...
//   any --reveal that does not match, a message out of order or malformed--> Failed
//
// On a commit while Idle the peer has begun: the owner shows the dialog and calls start().
//
// When both users click at once, each side's commitment reaches the other while its own exchange
// runs. The exchange of the side with the lower fingerprint goes on; the other side sends
//
//   control frame payload: 0x03 (its exchange is withdrawn)
//
// on its own session, after its commitment, and answers the peer's exchange instead. The peer
// sends the same 0x03 back on that session once it has seen it, after whatever it answered to the
// withdrawn commitment. The owner handles these messages; they never reach a VerifyCode.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

inline constexpr char kVerifyExporterLabel[] = "EXPORTER-vorlax-verify";
inline constexpr int kVerifySecretBytes = 32;
inline constexpr int kVerifyRandomBytes = 32;
inline constexpr char kVerifyCommitMessage = 0x01;
inline constexpr char kVerifyRevealMessage = 0x02;
inline constexpr char kVerifyWithdrawMessage = 0x03;

class VerifyCode {
public:
    enum class Role { Client, Server }; // this side's role in the TLS session
    enum class State { Idle, Committed, PeerCommitted, Revealed, Done, Failed };

    VerifyCode(Role role, QByteArray ownFingerprint, QByteArray peerFingerprint,
               QByteArray exporterSecret);

    // Each returns the control frame payloads to send, in order.
    QList<QByteArray> start();
    QList<QByteArray> received(QByteArrayView payload);

    State state() const { return state_; }
    // The code, "123 456", once Done.
    const QString& code() const { return code_; }
    // Why it Failed.
    const QString& failureText() const { return failure_; }

private:
    QList<QByteArray> commitReceived(QByteArrayView commitment);
    QList<QByteArray> revealReceived(QByteArrayView random);
    QList<QByteArray> fail(const QString& why);
    QByteArray revealMessage() const;

    Role role_;
    QByteArray ownFingerprint_;
    QByteArray peerFingerprint_;
    QByteArray secret_;
    QByteArray random_;
    QByteArray peerCommitment_;
    State state_ = State::Idle;
    QString code_;
    QString failure_;
};

// The commitment to r by the holder of the key with this fingerprint.
QByteArray verifyCommitment(QByteArrayView random, QByteArrayView fingerprint);
// The code for this exporter secret and the two sides' random bytes, "123 456".
QString verifyCodeText(QByteArrayView secret, QByteArrayView clientRandom,
                       QByteArrayView serverRandom);
