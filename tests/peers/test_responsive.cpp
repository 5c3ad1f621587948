// A connection attempt that hangs (the peer's listen queue is full, so its handshake is never
// answered) must neither freeze the window nor let the bar's handlers run twice; it gives up after
// a few seconds.

#include "support/TwoCopies.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {
// A listener on 127.0.0.1 that never accepts, with its queue filled so further handshakes hang.
struct FullListener {
    int fd = -1;
    std::vector<int> fillers;
    quint16 port = 0;
    FullListener() {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd, 0);
        socklen_t len = sizeof addr;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
        for (int i = 0; i < 3; ++i) {
            const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            fillers.push_back(c);
        }
    }
    ~FullListener() {
        for (int c : fillers)
            ::close(c);
        ::close(fd);
    }
};
} // namespace

TEST(Responsive, HangingConnectKeepsTheWindowLiveAndGivesUp) {
    FullListener hole;
    auto [local, remote] = freePortSets();
    remote.chat = QString::number(hole.port);
    auto copy = makeCopy(local, remote, "Fay");
    TForm1& f = *copy->form;
    goOnline(f);
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
