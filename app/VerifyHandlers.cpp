// The code both users compare ("Verify peer…"): exchanged in control frames on one chat session,
// the one of the copy whose user clicked. That copy is the session's client; the peer's copy
// answers on the same session as its server, so both derive the code from one exporter secret.

#include "app/MainForm.h"

#include "common/GuiThread.h"
#include "net/TcpChannel.h"

#include <QHostAddress>
#include <QPushButton>

#include <utility>

void TForm1::startVerification() {
    VORLAX_ON_THREAD_OF(this);
    if (!ChatClient->Encrypted() || connectedPeer == 0)
        return;
    // One exchange at a time: a click while the peer's runs would leave both without a code. A
    // click while a withdrawal is unanswered is kept until the answer comes.
    if (exchangeRunning())
        return;
    if (awaitingWithdrawal()) {
        verifyAskedMeanwhile_ = true;
        return;
    }
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
    verifyClock_.start();
    for (const QByteArray& payload : verify_->start())
        ChatClient->sendControl(payload);
    afterVerifyStep();
}

// A control frame on a chat session: session 0 is this copy's own, others the peer's sessions to
// this copy's chat listener. A commitment on one of those while no exchange runs there begins one.
//
// When both users click at once, each commitment reaches the other copy while its own exchange
// runs. The exchange of the copy with the lower key goes on; the other copy withdraws its own (on
// its session, after its commitment) and answers instead. Whatever the peer answered to the
// withdrawn commitment comes back before the peer's acknowledgement, on the same session, and is
// not taken for an answer to a later exchange.
void TForm1::verifyControl(uint64_t session, const QByteArray& payload) {
    const bool withdrawal = !payload.isEmpty() && payload[0] == kVerifyWithdrawMessage;
    if (session == 0) {
        if (withdrawal) {
            withdrawClock_.invalidate();
            if (std::exchange(verifyAskedMeanwhile_, false))
                startVerification();
        } else if (verify_ && verifySession_ == 0 && !awaitingWithdrawal()) {
            answerVerify(session, payload);
        }
        return;
    }
    const auto found = incomingSessions_.find({int(Channel::Chat), session});
    if (found == incomingSessions_.end() || !fromPeer(found->second.address))
        return;
    const bool running = exchangeRunning() && verifySession_ == session;
    if (withdrawal) {
        if (running)
            verify_.reset();
        ChatServer->sendControl(session, payload);
        return;
    }
    if (!running) {
        if (payload.isEmpty() || payload[0] != kVerifyCommitMessage ||
            !verifyLimiter_.allowed(found->second.key))
            return;
        if (exchangeRunning() && verifySession_ == 0) {
            if (ownKey_ < found->second.key)
                return; // the peer withdraws its exchange
            ChatClient->sendControl(QByteArray(1, kVerifyWithdrawMessage));
            withdrawClock_.start();
        }
        verify_ = std::make_unique<VerifyCode>(VerifyCode::Role::Server, ownKey_, found->second.key,
                                               found->second.secret);
        verifySession_ = session;
        verifyKey_ = found->second.key;
        verifyClock_.start();
    }
    answerVerify(session, payload);
}

void TForm1::answerVerify(uint64_t session, const QByteArray& payload) {
    QList<QByteArray> replies = verify_->received(payload);
    if (verify_->state() == VerifyCode::State::PeerCommitted)
        replies += verify_->start();
    for (const QByteArray& reply : replies)
        session != 0 ? ChatServer->sendControl(session, reply) : ChatClient->sendControl(reply);
    afterVerifyStep();
}

bool TForm1::awaitingWithdrawal() const {
    return withdrawClock_.isValid() && !withdrawClock_.hasExpired(kVerifyExchangeMs);
}

// An exchange not done in its time is given up: the peer went, or answered another.
bool TForm1::exchangeRunning() const {
    return verify_ && !verifyClock_.hasExpired(kVerifyExchangeMs);
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
