#pragma once
// The "Verify peer" window: both users read the 6-digit code their screens show and tell whether
// the codes are the same. Matching codes mean nobody sits between the two copies, so the peer's key
// may be remembered; different codes mean someone does. The full key fingerprints are shown too,
// for those who compare them another way (read out, or sent through another channel).
//
// It does not block the main window, stays above it, and reports the user's answer once: "Codes
// match", "Codes differ", or undecided when it is closed without an answer.

#include <QByteArray>
#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;

struct VerifyRequest {
    QString peerName;    // the peer's nickname
    QString peerAddress; // the address-book entry the peer was reached at
    QString code;        // the 6 digits both screens show
    QByteArray peerKey;  // the peer's key fingerprint (SHA-256, 32 bytes)
    QByteArray ownKey;   // this copy's
};

enum class VerifyDecision { Undecided, Match, Differ };

// A fingerprint as 4-digit groups of upper-case hex, eight groups to a line.
QString groupedFingerprint(const QByteArray& key);
// Six digits shown as two groups of three ("123 456"); any other text as it is.
QString shownCode(const QString& code);

class VerifyDialog : public QDialog {
    Q_OBJECT
public:
    VerifyDialog(const VerifyRequest& request, QWidget* parent);
    const VerifyRequest& request() const { return request_; }

    QLabel* codeLabel = nullptr;
    QPushButton* matchButton = nullptr;  // "Codes match"
    QPushButton* differButton = nullptr; // "Codes differ"

signals:
    void decided(VerifyDecision decision);

protected:
    void done(int result) override;

private:
    void decide(VerifyDecision decision);
    VerifyRequest request_;
    bool answered_ = false;
};
