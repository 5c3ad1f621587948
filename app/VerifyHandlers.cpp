// The code both users compare ("Verify peer…"): exchanged in control frames on one chat session,
// the one of the copy whose user clicked. That copy is the session's client; the peer's copy
// answers on the same session as its server, so both derive the code from one exporter secret.

#include "app/MainForm.h"

#include "common/GuiThread.h"
#include "net/TcpChannel.h"

#include <QHostAddress>
#include <QPushButton>

void TForm1::startVerification() {
    VORLAX_ON_THREAD_OF(this);
    if (!ChatClient->Encrypted() || connectedPeer == 0)
        return;
    const QByteArray key = ChatClient->PeerKey();
    if (!verifyLimiter_.allowed(key)) {
        appendChatLog(QStringLiteral("Too many verifications with %1 failed: try again in a few "
                                     "minutes.")
                          .arg(peerLabel()));
        return;
    }
    verify_ = std::make_unique<VerifyCode>(VerifyCode::Role::Client, ownKey_, key,
                                           ChatClient->VerifySecret());
    verifySession_ = 0;
    verifyKey_ = key;
    for (const QByteArray& payload : verify_->start())
        ChatClient->sendControl(payload);
    afterVerifyStep();
}

// A control frame on a chat session: session 0 is this copy's own, others the peer's sessions to
// this copy's chat listener. A commitment on one of those while no exchange runs there begins one.
void TForm1::verifyControl(uint64_t session, const QByteArray& payload) {
    if (session != 0) {
        const auto found = incomingSessions_.find({int(Channel::Chat), session});
        if (found == incomingSessions_.end() || !fromPeer(found->second.address))
            return;
        const bool running = verify_ && verifySession_ == session;
        if (!running) {
            if (payload.isEmpty() || payload[0] != kVerifyCommitMessage ||
                !verifyLimiter_.allowed(found->second.key))
                return;
            verify_ = std::make_unique<VerifyCode>(VerifyCode::Role::Server, ownKey_,
                                                   found->second.key, found->second.secret);
            verifySession_ = session;
            verifyKey_ = found->second.key;
        }
    } else if (!verify_ || verifySession_ != 0) {
        return;
    }
    QList<QByteArray> replies = verify_->received(payload);
    if (verify_->state() == VerifyCode::State::PeerCommitted)
        replies += verify_->start();
    for (const QByteArray& reply : replies)
        session != 0 ? ChatServer->sendControl(session, reply) : ChatClient->sendControl(reply);
    afterVerifyStep();
}

void TForm1::afterVerifyStep() {
    if (!verify_)
        return;
    if (verify_->state() == VerifyCode::State::Done) {
        VerifyRequest request;
        request.peerName = peerNickname();
        request.peerAddress = sessions_.address.isEmpty() ? QHostAddress(connectedPeer).toString()
                                                          : sessions_.address;
        request.code = verify_->code();
        request.peerKey = verifyKey_;
        request.ownKey = ownKey_;
        verify_.reset();
        openVerifyDialog(request);
    } else if (verify_->state() == VerifyCode::State::Failed) {
        verifyLimiter_.recordFailure(verifyKey_);
        appendChatLog(
            QStringLiteral("Verifying %1 failed: %2.").arg(peerLabel(), verify_->failureText()));
        verify_.reset();
    }
}

// The name the peer goes by: its announcement's, else its entry's.
QString TForm1::peerNickname() const {
    for (const FoundCopy& copy : foundCopies())
        if (copy.address == connectedPeer)
            return copy.name;
    return sessions_.address.isEmpty() ? QHostAddress(connectedPeer).toString() : sessions_.address;
}

void TForm1::verificationDecided(const VerifyRequest& request, VerifyDecision decision) {
    if (decision == VerifyDecision::Match) {
        appendChatLog(
            QStringLiteral("%1 is verified: its key is remembered.").arg(request.peerName));
        sessions_.warning = {};
        applySessionPolicies();
        showSessionSecurity();
        return;
    }
    if (decision != VerifyDecision::Differ)
        return;
    verifyLimiter_.recordFailure(request.peerKey);
    securityWarning(Channel::Chat, QStringLiteral("the codes differed: someone may sit between "
                                                  "this copy and %1")
                                       .arg(request.peerName));
    // The session is not to be trusted: it ends as Disconnect ends it.
    if (connectedPeer != 0 && BitBtn17->isEnabled())
        BitBtn17Click();
}
