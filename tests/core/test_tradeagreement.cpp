// The trade agreement as events in, actions out: who agreed, to which request, and when an
// upload may run.

#include "trade/TradeAgreement.h"

#include <gtest/gtest.h>

using Action = TradeAgreement::Action;

TEST(TradeAgreement, AnAcceptanceCountsOnlyForTheRequestStanding) {
    TradeAgreement agreement;
    agreement.weAsk();
    const uint64_t asked = agreement.round();
    EXPECT_EQ(agreement.peerAccepts(), Action::TellPeerAccepted);
    // The peer asks anew while this user's acceptance is on its way: it no longer counts.
    agreement.peerAsks();
    EXPECT_EQ(agreement.acceptanceSent(asked), Action::None);
    EXPECT_FALSE(agreement.WeAccepted());
    EXPECT_TRUE(agreement.PeerAccepted());

    // Accepted for the present request, with the peer agreed already: the upload starts, and the
    // peer's later acceptance no longer calls for attention.
    EXPECT_EQ(agreement.acceptanceSent(agreement.round()), Action::Upload);
    EXPECT_EQ(agreement.peerAccepts(), Action::None);
    EXPECT_EQ(agreement.acceptedAgain(), Action::Upload);

    // This user's own request voids both sides' agreement.
    agreement.weAsk();
    EXPECT_FALSE(agreement.WeAccepted());
    EXPECT_FALSE(agreement.PeerAccepted());
    EXPECT_EQ(agreement.acceptedAgain(), Action::None);
    agreement.acceptanceSent(agreement.round());
    agreement.clear();
    EXPECT_FALSE(agreement.WeAccepted());
}

TEST(TradeAgreement, RequestsDuringAnUploadAreOwedOnce) {
    TradeAgreement agreement;
    EXPECT_EQ(agreement.uploadRequested(true), Action::None);
    EXPECT_FALSE(agreement.uploadRunning());
    EXPECT_EQ(agreement.uploadRequested(false), Action::Upload);
    EXPECT_EQ(agreement.uploadRequested(false), Action::None);
    EXPECT_EQ(agreement.uploadRequested(false), Action::None);
    EXPECT_EQ(agreement.uploadEnded(), Action::Upload); // one owed, however many came
    EXPECT_EQ(agreement.uploadRequested(false), Action::Upload);
    EXPECT_EQ(agreement.uploadEnded(), Action::None);

    // A user's connection action forgets what the peer is owed.
    EXPECT_EQ(agreement.uploadRequested(false), Action::Upload);
    agreement.uploadRequested(false);
    agreement.forgetOwedUpload();
    EXPECT_EQ(agreement.uploadEnded(), Action::None);
}
