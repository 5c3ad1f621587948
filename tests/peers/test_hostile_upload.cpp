// A hostile host on the network against the trade channel of a running copy, over raw loopback
// sockets: requests for files that were never offered, next-file requests without the user's
// agreement, messages that never end, and messages without bound.

#include "support/PeerInput.h"
#include "support/PeerStandIns.h"
#include "support/TwoCopies.h"

#include "net/TcpChannel.h"

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <atomic>
#include <iostream>
#include <chrono>
#include <thread>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
const QByteArray kSendFileList("\xA7\xA7\xA7-SendFileList-\xA7\xA7\xA7");
const QByteArray kAskForTrade("\xA7\xA7\xA7-AskForTrade-\xA7\xA7\xA7");
const QByteArray kSendNextFile("\xA7\xA7-SendNextFile-\xA7\xA7");
const QByteArray kLastFileSended("\xA7\xA7-LastFileSended-\xA7\xA7");
constexpr int kQuietMs = 500; // how long something that must not happen is watched for

// Keeps every byte that arrives on the download port, from any number of connections.
struct DownloadRecorder {
    QTcpServer server;
    QByteArray received;
    DownloadRecorder() {
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection())
                QObject::connect(socket, &QTcpSocket::readyRead,
                                 [this, socket] { received += socket->readAll(); });
        });
        server.listen(QHostAddress::LocalHost);
    }
};

// A plain blocking socket to a listener of the copy; sends give up after a few seconds.
int rawConnect(uint16_t port) {
    const int fd = loopbackSocket(port);
    const timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    return fd;
}

enum class Sent { All, Closed, Stuck };

Sent sendAll(int fd, const QByteArray& bytes) {
    for (qsizetype sent = 0; sent < bytes.size();) {
        const ssize_t n =
            ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK ? Sent::Stuck : Sent::Closed;
        sent += n;
    }
    return Sent::All;
}

// Sends a listing's first line, then `line` over and over until `total` bytes went, the copy
// closed the connection, or it stopped reading without closing.
Sent flood(uint16_t port, const QByteArray& line, qint64 total) {
    const int fd = rawConnect(port);
    Sent result = sendAll(fd, kSendFileList + "\r\n");
    const QByteArray block = line.repeated(qMax<qsizetype>(1, 65536 / line.size()));
    for (qint64 sent = 0; result == Sent::All && sent < total; sent += block.size())
        result = sendAll(fd, block);
    ::close(fd);
    return result;
}

bool hasMessage(RecordingListener& listener, const QByteArray& firstLine) {
    for (const QList<QByteArray>& message : listener.received())
        if (message.value(0) == firstLine)
            return true;
    return false;
}
} // namespace

TEST(HostilePeer, RequestsGetOnlyOfferedFilesAndOnlyWithTheUsersAgreement) {
    StandInPeer peer;
    DownloadRecorder recorder;
    auto [local, remote] = freePortSets();
    remote = peer.aimedAt(remote);
    remote.download = QString::number(recorder.server.serverPort());
    auto copy = makeCopy(local, remote, "Vera");
    TForm1& f = *copy->form;
    f.uploadPauseMs = 10;
    writeTestFile(copy->folder.path() + "/secret.txt", "TOP SECRET");
    writeTestFile(copy->tradeFolder() + "offered.txt", "offered bytes");
    f.ListTradeFolder();
    goOnline(f);
    connectTo(f, "127.0.0.1");
    ASSERT_TRUE(waitUntil([&] { return hasMessage(peer.trade, kSendFileList); }));

    // Without "Start download" a next-file request does nothing at all.
    sendTradeMessage(f, {kAskForTrade, "../secret.txt", "offered.txt"});
    sendTradeMessage(f, {kSendNextFile});
    sendTradeMessage(f, {kSendFileList, "probe", "txt", "1"}); // applies after the request
    ASSERT_TRUE(waitUntil([&] { return f.ListView1->topLevelItemCount() == 1; }));
    EXPECT_FALSE(waitUntil([&] { return f.SendQueue.size() != 2 || !recorder.received.isEmpty(); },
                           kQuietMs));

    // Agreed, the name outside the listing is skipped with one log line; the offered file goes.
    QTest::mouseClick(f.BitBtn19, Qt::LeftButton);
    f.SendQueue.clear(); // so the wait below sees this request applied, not the one before
    sendTradeMessage(f, {kAskForTrade, "../secret.txt", "offered.txt"});
    ASSERT_TRUE(waitUntil([&] { return f.SendQueue.size() == 2; }));
    QTest::mouseClick(f.BitBtn20, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return f.agreement.WeAccepted(); }));
    sendTradeMessage(f, {kSendNextFile});
    ASSERT_TRUE(waitUntil([&] { return recorder.received.endsWith("offered bytes"); }));
    EXPECT_TRUE(logHas(f, "Not sent, not among the offered files: ../secret.txt"));
    EXPECT_TRUE(logHas(f, "Upload: " + copy->tradeFolder() + "offered.txt"));

    // A request of nothing offered hands the turn over at once, so the trade does not stall; like
    // every request it is agreed to first.
    sendTradeMessage(f, {kAskForTrade, "/etc/passwd"});
    ASSERT_TRUE(waitUntil([&] { return f.SendQueue.size() == 1 && !f.agreement.WeAccepted(); }));
    QTest::mouseClick(f.BitBtn20, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return f.agreement.WeAccepted(); }));
    sendTradeMessage(f, {kSendNextFile});
    ASSERT_TRUE(waitUntil([&] { return hasMessage(peer.trade, kLastFileSended); }));
    EXPECT_FALSE(recorder.received.contains("TOP SECRET"));
    EXPECT_FALSE(recorder.received.contains("root:"));
    EXPECT_TRUE(copy->errors.isEmpty()) << copy->errors.join('|').toStdString();
    EXPECT_TRUE(copy->messages.isEmpty()) << copy->messages.join('|').toStdString();
}

TEST(HostilePeer, AnUnfinishedTradeMessageDoesNotHoldLaterOnes) {
    const auto [local, remote] = freePortSets();
    auto copy = makeCopy(local, remote, "Vera");
    TForm1& f = *copy->form;
    f.setTradeMessageDeadlineMs(1000);
    goOnline(f);
    const uint16_t port = f.TradeServer->boundPort();

    // A first line and one name, then silence with the connection held open.
    const int stalled = rawConnect(port);
    ASSERT_EQ(sendAll(stalled, kAskForTrade + "\r\nheld.txt\r\n"), Sent::All);
    sendTradeMessage(f, {kSendFileList, "later.txt", "txt", "1"});
    EXPECT_TRUE(waitUntil([&] { return f.ListView1->topLevelItemCount() == 1; }));
    EXPECT_TRUE(f.SendQueue.isEmpty());
    ::close(stalled);
}

TEST(HostilePeer, AnOversizedTradeMessageIsDroppedAndItsConnectionClosed) {
    const auto [local, remote] = freePortSets();
    auto copy = makeCopy(local, remote, "Vera");
    TForm1& f = *copy->form;
    goOnline(f);
    const uint16_t port = f.TradeServer->boundPort();
    constexpr qint64 kFlood = 64 * 1024 * 1024;

    // Too many lines, and too many bytes in long lines: the copy stops reading and closes.
    EXPECT_EQ(flood(port, "a\r\n", kFlood), Sent::Closed);
    EXPECT_EQ(flood(port, QByteArray(1000 * 1000, 'b') + "\r\n", kFlood), Sent::Closed);
    sendTradeMessage(f, {kSendFileList, "fine.txt", "txt", "1"});
    ASSERT_TRUE(waitUntil([&] { return f.ListView1->topLevelItemCount() == 1; }));
    EXPECT_EQ(f.ListView1->topLevelItem(0)->text(0), "fine.txt");
}

TEST(HostilePeer, DisconnectIsNotHeldUpByWhatThePeerProvoked) {
    // The peer's trade port takes a few connections into its queue and never accepts: once the
    // queue is full, every reconnect after a trade message hangs until its time-out.
    UnacceptingListener hole(false);
    StandInPeer peer;
    auto [local, remote] = freePortSets();
    remote = peer.aimedAt(remote);
    remote.trade = QString::number(hole.port);
    auto copy = makeCopy(local, remote, "Vera");
    TForm1& f = *copy->form;
    goOnline(f);
    connectTo(f, "127.0.0.1");
    ASSERT_EQ(f.statusIconIndex, 2);
    QTest::mouseClick(f.BitBtn19, Qt::LeftButton);
    QTest::mouseClick(f.BitBtn20, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return f.agreement.WeAccepted(); }));

    // With nothing asked for, each request is answered with "the last file was sent".
    constexpr int kRequests = 200;
    const uint16_t port = f.TradeServer->boundPort();
    std::atomic<bool> allSent{false};
    std::atomic<bool> listed{false};
    std::thread flood([&] {
        for (int i = 0; i < kRequests; ++i) {
            const int fd = rawConnect(port);
            sendAll(fd, kSendNextFile + "\r\n");
            ::close(fd);
        }
        // A listing applies after the requests. The listener holds a bounded number of
        // connections, so one that came while it was full is sent again until it shows.
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(12 * kDefaultWaitMs);
        while (!listed && Clock::now() < deadline) {
            const int fd = rawConnect(port);
            sendAll(fd, kSendFileList + "\r\nafter.txt\r\ntxt\r\n1\r\n");
            ::close(fd);
            const auto retry = Clock::now() + std::chrono::seconds(2);
            while (!listed && Clock::now() < retry)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        allSent = true;
    });
    const bool applied = waitUntil(
        [&] {
            listed = listed || f.ListView1->topLevelItemCount() == 1;
            return allSent && listed;
        },
        13 * kDefaultWaitMs);
    flood.join();
    ASSERT_TRUE(applied && listed);

    constexpr int kDisconnectLimitMs = 1000;
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(f.BitBtn17, Qt::LeftButton);
    ASSERT_TRUE(waitUntil(
        [&] { return f.statusIconIndex == 1 && f.BitBtn16->isEnabled() && !f.attemptRunning(); },
        kDisconnectLimitMs));
    const qint64 tookMs = clock.elapsed();
    std::cout << "Disconnect after " << kRequests << " provoked requests took " << tookMs
              << " ms\n";
    EXPECT_LT(tookMs, kDisconnectLimitMs);
    EXPECT_FALSE(f.TradeClient->Connected());
    EXPECT_FALSE(f.ChatClient->Connected());
}
