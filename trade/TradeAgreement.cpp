#include "trade/TradeAgreement.h"

#include <utility>

void TradeAgreement::clear() {
    weAccepted_ = false;
    peerAccepted_ = false;
}

void TradeAgreement::weAsk() {
    clear();
    ++round_;
}

void TradeAgreement::peerAsks() {
    weAccepted_ = false;
    ++round_;
}

TradeAgreement::Action TradeAgreement::peerAccepts() {
    peerAccepted_ = true;
    return weAccepted_ ? Action::None : Action::TellPeerAccepted;
}

TradeAgreement::Action TradeAgreement::acceptanceSent(uint64_t round) {
    if (round != round_)
        return Action::None;
    weAccepted_ = true;
    return acceptedAgain();
}

TradeAgreement::Action TradeAgreement::acceptedAgain() const {
    return weAccepted_ && peerAccepted_ ? Action::Upload : Action::None;
}

TradeAgreement::Action TradeAgreement::uploadRequested(bool queueEmpty) {
    if (uploadRunning_) {
        uploadOwed_ = true;
        return Action::None;
    }
    if (queueEmpty)
        return Action::None;
    uploadRunning_ = true;
    return Action::Upload;
}

TradeAgreement::Action TradeAgreement::uploadEnded() {
    uploadRunning_ = false;
    return std::exchange(uploadOwed_, false) ? Action::Upload : Action::None;
}
