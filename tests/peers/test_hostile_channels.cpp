// The line channels against a hostile peer: raw loopback sockets that connect to a running copy's
// listeners and send what no well-behaved peer would (or nothing at all), and peers that hold
// connections open or stop reading while the window closes.

#include "support/PeerStandIns.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTextBlock>
#include <QTest>
#include <QTreeWidget>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr int kCloseLimitMs = 1000;     // closing must never take longer, whatever the peer does
constexpr int kShortDeadlineMs = 300;   // a begun message's deadline, shortened for the test
constexpr int kLongDeadlineMs = 120000; // and lengthened

struct FromStranger {};

// A plain socket connected to 127.0.0.1:port, from 127.0.0.1 or from the stranger's address;
// closed when the test ends.
struct RawPeer {
    int fd = -1;
    RawPeer(quint16 port, FromStranger) : fd(connectFromStranger(port)) {}
    explicit RawPeer(quint16 port) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(port);
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target), 0)
            << "port " << port << ": " << strerror(errno);
    }
    ~RawPeer() { ::close(fd); }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;
    // Sends what it can; a copy that has closed the connection makes the rest fail silently.
    void send(const QByteArray& bytes) const {
        ::send(fd, bytes.constData(), bytes.size(), MSG_NOSIGNAL);
    }
    // True once the copy has closed its side (an end or a reset is waiting to be read).
    bool closedByCopy() const {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 0) <= 0)
            return false;
        char byte = 0;
        return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
    }
};

// One whole chat message on a connection of its own, as a peer sends it.
void sendMessage(quint16 port, const QByteArray& lines) {
    RawPeer sender(port);
    sender.send(lines);
}

bool logHas(TForm1& f, const QString& text) {
    return f.Memo1->toPlainText().contains(text);
}

// A copy connected to a stand-in peer, except that one of its peer ports leads to `deaf`.
std::unique_ptr<Copy> connectedToDeafPort(StandInPeer& peer, const UnacceptingListener& deaf,
                                          QString PortSet::*port) {
    auto copy = onlineCopy([&](PortSet& remote) {
        remote = peer.aimedAt(remote);
        remote.*port = QString::number(deaf.port);
    });
    connectTo(*copy->form, "127.0.0.1");
    return copy;
}

qint64 closeTimed(Copy& copy) {
    QElapsedTimer clock;
    clock.start();
    copy.form->close();
    copy.form.reset();
    return clock.elapsed();
}

} // namespace

TEST(HostilePeer, ConnectClosesWhatAStrangerOpenedAndOnlyThePeerSpeaksAfter) {
    const auto [portsA, portsB] = freePortSets();
    auto copyA = makeCopy(portsA, portsB, "Anna");
    auto copyB = makeCopy(portsB, portsA, "Bert");
    TForm1& a = *copyA->form;
    TForm1& b = *copyB->form;
    goOnline(a);
    goOnline(b);
    // Online but not connected, the copy takes anyone: a stranger opens an idle connection on each
    // line listener and takes every download slot.
    std::vector<std::unique_ptr<RawPeer>> opened;
    for (TTcpServer* server : {a.ChatServer.get(), a.TradeServer.get(), a.Plot_Server.get()})
        opened.push_back(std::make_unique<RawPeer>(server->boundPort(), FromStranger{}));
    for (int i = 0; i < TServerSocket::kMaxConnections; ++i)
        opened.push_back(std::make_unique<RawPeer>(a.DownloadServer->boundPort(), FromStranger{}));
    ASSERT_TRUE(waitUntil(
        [&] { return a.DownloadServer->connectionCount() == TServerSocket::kMaxConnections; }));
    connectTo(a, "127.0.0.1");
    connectTo(b, "127.0.0.1");
    for (const auto& door : opened)
        EXPECT_TRUE(waitUntil([&] { return door->closedByCopy(); }));
    RawPeer late(a.ChatServer->boundPort(), FromStranger{});
    late.send("<Mallory>: let me in\r\n");
    EXPECT_TRUE(waitUntil([&] { return late.closedByCopy(); }));

    // The peer's download connection found a free slot: the file asked of it arrives.
    writeTestFile(copyB->tradeFolder() + "gift.txt", "from Bert");
    b.offeredFiles.reset({{"gift.txt", copyB->tradeFolder() + "gift.txt"}});
    b.SendQueue = {"gift.txt"};
    b.agreement.acceptanceSent(b.agreement.round());
    b.uploadPauseMs = 10;
    a.resetAskedFiles({"gift.txt"});
    b.UploadNextFile();
    EXPECT_TRUE(
        waitUntil([&] { return readTestFile(copyA->saveFolder() + "gift.txt") == "from Bert"; }));

    clickAndSettle(a, a.BitBtn17); // Disconnect: anyone may send again
    EXPECT_EQ(a.connectedPeer, 0u);
    RawPeer(a.ChatServer->boundPort(), FromStranger{}).send("<Mallory>: heard now\r\n");
    EXPECT_TRUE(waitUntil([&] { return logHas(a, "<Mallory>: heard now"); }));
    EXPECT_FALSE(logHas(a, "let me in"));
}

TEST(HostilePeer, WhatAStrangerSentBeforeConnectIsGoneAfterIt) {
    const auto [portsA, portsB] = freePortSets();
    auto copyA = makeCopy(portsA, portsB, "Anna");
    auto copyB = makeCopy(portsB, portsA, "Bert");
    TForm1& a = *copyA->form;
    goOnline(a);
    goOnline(*copyB->form);
    const quint16 trade = a.TradeServer->boundPort();
    RawPeer(trade, FromStranger{})
        .send("\xA7\xA7\xA7-SendFileList-\xA7\xA7\xA7\r\n"
              "bait.txt\r\ntxt\r\n9\r\n");
    RawPeer(trade, FromStranger{}).send("\xA7\xA7\xA7-AskForTrade-\xA7\xA7\xA7\r\nid_ed25519\r\n");
    ASSERT_TRUE(waitUntil([&] { return a.ListView1->topLevelItemCount() == 1; }));
    ASSERT_TRUE(waitUntil([&] { return a.SendQueue == QList<QByteArray>{"id_ed25519"}; }));

    connectTo(a, "127.0.0.1");
    ASSERT_EQ(a.connectedPeer, QHostAddress(QHostAddress::LocalHost).toIPv4Address());
    EXPECT_EQ(a.ListView1->topLevelItemCount(), 0);
    EXPECT_TRUE(a.SendQueue.isEmpty());
}

TEST(HostilePeer, AListenerHoldsABoundedNumberOfConnectionsWhateverComes) {
    auto copy = onlineCopy();
    TForm1& f = *copy->form;
    f.ChatServer->setMessageDeadlineMs(kLongDeadlineMs); // none is cut while the test runs
    // Each sends a byte of a message it never ends: ten take the workers (until their deadline),
    // the listener holds the next ones waiting for a worker, and closes the rest.
    constexpr int kKept = kWorkersPerListener + kMaxHeldConnections;
    constexpr int kExtra = 6;
    std::vector<std::unique_ptr<RawPeer>> held;
    for (int i = 0; i < kKept + kExtra; ++i) {
        held.push_back(std::make_unique<RawPeer>(f.ChatServer->boundPort()));
        held.back()->send("x");
    }
    const auto closed = [&] {
        return std::count_if(held.begin(), held.end(),
                             [](const auto& peer) { return peer->closedByCopy(); });
    };
    EXPECT_TRUE(waitUntil([&] { return closed() == kExtra; }));
    EXPECT_FALSE(waitUntil([&] { return closed() > kExtra; }, kShortDeadlineMs));
}

TEST(HostilePeer, SilentConnectionsDoNotMakeAListenerDeaf) {
    auto copy = onlineCopy();
    TForm1& f = *copy->form;
    std::vector<std::unique_ptr<RawPeer>> silent;
    for (int i = 0; i < kWorkersPerListener + 2; ++i)
        silent.push_back(std::make_unique<RawPeer>(f.ChatServer->boundPort()));
    sendMessage(f.ChatServer->boundPort(), "<Mallory>: still heard\r\n");
    EXPECT_TRUE(waitUntil([&] { return logHas(f, "<Mallory>: still heard"); }));
}

TEST(HostilePeer, BegunMessageIsCutAtItsDeadlineWhileIdleOnesStay) {
    auto copy = onlineCopy();
    TForm1& f = *copy->form;
    f.ChatServer->setMessageDeadlineMs(kShortDeadlineMs);
    RawPeer idle(f.ChatServer->boundPort());
    RawPeer begun(f.ChatServer->boundPort());
    begun.send("<Mallory>: never ends\r\nand never");
    ASSERT_TRUE(waitUntil([&] { return begun.closedByCopy(); }));
    // The idle connection outlives several deadlines and still carries a whole message.
    EXPECT_FALSE(waitUntil([&] { return idle.closedByCopy(); }, 3 * kShortDeadlineMs));
    idle.send("<Ann>: late but whole\r\n");
    ::shutdown(idle.fd, SHUT_WR);
    EXPECT_TRUE(waitUntil([&] { return logHas(f, "<Ann>: late but whole"); }));
    EXPECT_FALSE(logHas(f, "never ends"));
}

TEST(HostilePeer, OversizedChatMessageIsDroppedAndTheLogKeepsItsBound) {
    auto copy = onlineCopy();
    TForm1& f = *copy->form;
    {
        RawPeer flood(f.ChatServer->boundPort());
        const QByteArray line = QByteArray(64 * 1024, 'x') + "\r\n";
        std::thread sender([&] {
            for (int i = 0; i < 20; ++i) // 1.25 MiB in all
                flood.send(line);
        });
        EXPECT_TRUE(waitUntil([&] { return flood.closedByCopy(); }));
        sender.join();
    }
    sendMessage(f.ChatServer->boundPort(), "<Ann>: small\r\n");
    ASSERT_TRUE(waitUntil([&] { return logHas(f, "<Ann>: small"); }));
    EXPECT_FALSE(logHas(f, "xxxx"));

    constexpr int kLogLines = 10000;
    for (int i = 0; i < kLogLines + 5; ++i)
        f.appendChatLog(QString::number(i));
    EXPECT_EQ(f.Memo1->blockCount(), kLogLines);
    EXPECT_EQ(f.Memo1->document()->firstBlock().text(), "5");
}

TEST(HostilePeer, ClosingIsQuickWhileThePeerHoldsEveryConnection) {
    StandInPeer peer; // keeps this copy's idle connections open for ever
    auto copy = onlineCopy([&](PortSet& remote) { remote = peer.aimedAt(remote); });
    TForm1& f = *copy->form;
    connectTo(f, "127.0.0.1");
    ASSERT_EQ(f.statusIconIndex, 2);
    std::vector<std::unique_ptr<RawPeer>> held;
    for (TTcpServer* server : {f.ChatServer.get(), f.TradeServer.get(), f.Plot_Server.get()}) {
        held.push_back(std::make_unique<RawPeer>(server->boundPort()));
        held.push_back(std::make_unique<RawPeer>(server->boundPort()));
        held.back()->send("begun and never ended");
    }
    EXPECT_LT(closeTimed(*copy), kCloseLimitMs);
}

TEST(HostilePeer, ClosingCancelsAConnectionAttemptNobodyAnswers) {
    UnacceptingListener hole(true);
    auto copy = onlineCopy([&](PortSet& remote) { remote.chat = QString::number(hole.port); });
    TForm1& f = *copy->form;
    f.Edit2->setText("127.0.0.1");
    QTest::mouseClick(f.BitBtn16, Qt::LeftButton);
    ASSERT_TRUE(f.attemptRunning());
    EXPECT_LT(closeTimed(*copy), kCloseLimitMs);
}

TEST(HostilePeer, ClosingIsQuickWhenThePeerStoppedReading) {
    UnacceptingListener deaf(false);
    StandInPeer peer;
    auto copy = connectedToDeafPort(peer, deaf, &PortSet::chat);
    TForm1& f = *copy->form;
    ASSERT_TRUE(f.ChatClient->Connected());
    bool sendEnded = false;
    // Far more than the socket buffers hold.
    f.ChatClient->send({{QByteArray(16 * 1024 * 1024, 'x')}}, [&](int) { sendEnded = true; });
    // The send is stuck: the peer takes nothing.
    EXPECT_FALSE(waitUntil([&] { return sendEnded; }, 300));
    QElapsedTimer clock;
    clock.start();
    copy->form->close();
    copy->form.reset();
    EXPECT_LT(clock.elapsed(), kCloseLimitMs);
}

TEST(HostilePeer, ClosingIsQuickMidUploadToAPeerThatStoppedReading) {
    UnacceptingListener deaf(false); // takes the download connection, reads none of it
    StandInPeer peer;
    auto copy = connectedToDeafPort(peer, deaf, &PortSet::download);
    TForm1& f = *copy->form;
    ASSERT_EQ(f.statusIconIndex, 2);
    const QString path = copy->tradeFolder() + "big.bin";
    {
        QFile big(path);
        ASSERT_TRUE(big.open(QIODevice::WriteOnly));
        big.resize(64 * 1024 * 1024); // far beyond what the socket buffers hold
    }
    f.offeredFiles.reset({{"big.bin", path}});
    f.agreement.acceptanceSent(f.agreement.round());
    f.SendQueue = {"big.bin"};
    f.uploadPauseMs = 10;
    f.UploadNextFile();
    auto* bar = f.findChild<QProgressBar*>("TransferBar");
    // The file is going out: its pause, announcement and first bytes take a while on a busy machine
    // under the thread sanitizer.
    ASSERT_TRUE(waitUntil([&] { return bar->isVisible(); }, 20000));
    ASSERT_LT(bar->value(), 100); // and is stuck part way
    EXPECT_LT(closeTimed(*copy), kCloseLimitMs);
}
