// A connection attempt that hangs (the peer's listen queue is full, so its handshake is never
// answered) must neither freeze the window nor let the bar's handlers run twice; it gives up after
// a few seconds.

#include "support/PeerStandIns.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

TEST(Responsive, HangingConnectKeepsTheWindowLiveAndGivesUp) {
    UnacceptingListener hole(true);
    auto copy = onlineCopy([&](PortSet& remote) { remote.chat = QString::number(hole.port); });
    TForm1& f = *copy->form;
    f.Edit2->setText("127.0.0.1");

    QElapsedTimer clock;
    qint64 last = 0, longestGap = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, clock.elapsed() - last);
        last = clock.elapsed();
    });
    clock.start();
    ticker.start(1);
    QTest::mouseClick(f.BitBtn16, Qt::LeftButton);
    EXPECT_TRUE(f.attemptRunning());
    EXPECT_FALSE(f.BitBtn16->isEnabled()); // held while the attempt runs: no second Connect
    EXPECT_FALSE(f.BitBtn18->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return !f.attemptRunning(); }, 20000));
    ticker.stop();
    EXPECT_LT(longestGap, 250) << "the GUI thread stalled";
    EXPECT_GE(clock.elapsed(), 2000); // it really waited on the hanging handshake
    EXPECT_LT(clock.elapsed(), 15000);
    EXPECT_TRUE(f.BitBtn16->isEnabled()); // failed: Connect stays available for another try
    EXPECT_EQ(f.statusIconIndex, 1);
    EXPECT_FALSE(f.ChatClient->Connected());
}
