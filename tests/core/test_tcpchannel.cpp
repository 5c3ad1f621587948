// Line-channel endpoints over real loopback sockets, driven from this thread as the window drives
// them: framing, client and listener states, the bound on messages read at once, their order, and
// the time limits.
#include "common/GuiThread.h"
#include "common/ProgramError.h"
#include "net/MessageReader.h"
#include "net/NetworkThread.h"
#include "net/TcpChannel.h"
#include "support/PeerInput.h"
#include "support/Wait.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

constexpr int kWaitMs = 10000; // longest wait for something that must happen
const QString kLoopback = QStringLiteral("127.0.0.1");

// The window's side of the endpoints: this thread, its mailbox, and a network thread, which ends
// before the endpoints go, as the window's does.
struct Endpoints {
    Mailbox window;
    std::unique_ptr<NetworkThread> network = std::make_unique<NetworkThread>();
    std::vector<std::unique_ptr<TTcpServer>> servers;
    std::vector<std::unique_ptr<TTcpClient>> clients;
    ~Endpoints() { network->stop(); }

    TTcpServer* server() {
        return servers.emplace_back(std::make_unique<TTcpServer>(*network, window)).get();
    }
    TTcpServer* listener(QList<LineMessage>* received) {
        TTcpServer* server = this->server();
        server->setLocalHost(kLoopback);
        server->setLocalPort("0");
        server->OnAccept = [received](TTcpServer*, const LineMessage& m) { *received << m; };
        bool opened = false;
        server->Open([&] { opened = true; });
        EXPECT_TRUE(waitUntil([&] { return opened; }, kWaitMs));
        return server;
    }
    TTcpClient* client(quint16 port) {
        TTcpClient* client =
            clients.emplace_back(std::make_unique<TTcpClient>(*network, window)).get();
        client->setRemoteHost(kLoopback);
        client->setRemotePort(QString::number(port));
        return client;
    }
};

bool connectNow(TTcpClient& client) {
    std::optional<bool> result;
    client.Connect([&](bool connected) { result = connected; });
    EXPECT_TRUE(waitUntil([&] { return result.has_value(); }, kWaitMs));
    return result.value_or(false);
}

void sendRaw(int fd, const QByteArray& bytes) {
    EXPECT_EQ(::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL), bytes.size());
}

QList<QByteArray> readAll(MessageReader& reader, const QList<QByteArray>& pieces) {
    for (const QByteArray& piece : pieces)
        if (reader.feed(piece.constData(), piece.size()) != MessageReader::State::Reading)
            return reader.lines();
    reader.end();
    return reader.lines();
}

} // namespace

TEST(TcpChannel, MessageReaderFramesLinesAsTheyCome) {
    using Length = MessageShape::Length;
    auto lines = [](const QList<QByteArray>& pieces, MessageShape shape = {}) {
        MessageReader reader(std::move(shape));
        return readAll(reader, pieces);
    };
    EXPECT_EQ(lines({"abc\r\n"}), QList<QByteArray>{"abc"});
    EXPECT_EQ(lines({"one\r\ntwo\r", "\nthree"}), (QList<QByteArray>{"one", "two", "three"}));
    EXPECT_EQ(lines({"first\r\n\r\nafter\r\n"}), QList<QByteArray>{"first"});
    EXPECT_EQ(lines({QByteArray(600, 'x') + "\r\n"}), QList<QByteArray>{QByteArray(600, 'x')});
    // A line that grows past the longest line ends the message with the lines before it.
    EXPECT_EQ(lines({"kept\r\n", QByteArray(kMaxLineBytes + 2, 'y')}), QList<QByteArray>{"kept"});

    MessageShape oneLine;
    oneLine.lengthOf = [](const QByteArray&) { return Length::OneLine; };
    EXPECT_EQ(lines({"1,2,3\r\nignored\r\n"}, oneLine), QList<QByteArray>{"1,2,3"});
    MessageShape bounded;
    bounded.lengthOf = [](const QByteArray& first) {
        return first == "drop" ? Length::Drop : Length::UntilEmpty;
    };
    bounded.maxLines = 2;
    EXPECT_TRUE(lines({"drop\r\nmore\r\n"}, bounded).isEmpty());
    EXPECT_TRUE(lines({"a\r\nb\r\nc\r\n"}, bounded).isEmpty());
    EXPECT_EQ(lines({"a\r\nb\r\n"}, bounded), (QList<QByteArray>{"a", "b"}));
}

TEST(TcpChannel, MessagesArriveWholeInTheOrderTheyBegan) {
    Endpoints e;
    QList<LineMessage> received;
    auto server = e.listener(&received);
    ASSERT_TRUE(server->Listening());
    auto client = e.client(server->boundPort());
    ASSERT_TRUE(connectNow(*client));
    ASSERT_TRUE(connectNow(*client)); // connected already: no second connection
    std::vector<int> sent;
    for (const QList<QByteArray>& lines :
         {QList<QByteArray>{"abc"}, QList<QByteArray>{"1", "2", "3"}, QList<QByteArray>{"z"}})
        client->send({lines}, [&](int n) { sent.push_back(n); });
    ASSERT_TRUE(waitUntil([&] { return received.size() == 3 && sent.size() == 3; }, kWaitMs));
    EXPECT_EQ(sent, (std::vector<int>{1, 3, 1}));
    EXPECT_EQ(received[0].lines, QList<QByteArray>{"abc"});
    EXPECT_EQ(received[1].lines, (QList<QByteArray>{"1", "2", "3"}));
    EXPECT_EQ(received[2].lines, QList<QByteArray>{"z"});
    EXPECT_EQ(received[0].senderHost, kLoopback);
    EXPECT_TRUE(client->Connected()); // reconnected for the next message

    // A message that began first is handed over first, even when a later one is whole sooner; an
    // idle connection that ends says nothing.
    received.clear();
    const int slow = loopbackSocket(server->boundPort());
    const int fast = loopbackSocket(server->boundPort());
    const int idle = loopbackSocket(server->boundPort());
    sendRaw(slow, "slow ");
    // Nothing is whole yet; meanwhile the first bytes of `slow` are seen.
    EXPECT_FALSE(waitUntil([&] { return !received.isEmpty(); }, 300));
    sendRaw(fast, "fast\r\n");
    ::close(fast);
    ::close(idle);
    EXPECT_FALSE(waitUntil([&] { return !received.isEmpty(); }, 300));
    sendRaw(slow, "one\r\n");
    ::close(slow);
    ASSERT_TRUE(waitUntil([&] { return received.size() == 2; }, kWaitMs));
    EXPECT_EQ(received[0].lines, QList<QByteArray>{"slow one"});
    EXPECT_EQ(received[1].lines, QList<QByteArray>{"fast"});
}

TEST(TcpChannel, ClientAndListenerStates) {
    Endpoints e;
    QList<LineMessage> received;
    auto server = e.listener(&received);
    const quint16 port = server->boundPort();
    bool closed = false;
    server->Close([&] { closed = true; });
    ASSERT_TRUE(waitUntil([&] { return closed; }, kWaitMs));
    EXPECT_FALSE(server->Listening());

    auto client = e.client(port);
    EXPECT_FALSE(connectNow(*client)); // nobody listens
    EXPECT_TRUE(client->Active());
    EXPECT_FALSE(client->Connected());

    // Another socket holds the port: the listener is not listening and says why.
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    TTcpServer* second = e.server();
    second->setLocalHost(kLoopback);
    second->setLocalPort(QString::number(port));
    bool opened = false;
    second->Open([&] { opened = true; });
    ASSERT_TRUE(waitUntil([&] { return opened; }, kWaitMs));
    EXPECT_FALSE(second->Listening());
    EXPECT_FALSE(second->lastError().isEmpty());
    ::close(holder);

    // Now it can, and the client reaches it; a new peer address drops the connection.
    opened = false;
    second->Open([&] { opened = true; });
    ASSERT_TRUE(waitUntil([&] { return opened && second->Listening(); }, kWaitMs));
    EXPECT_TRUE(connectNow(*client));
    client->setRemoteHost(kLoopback); // the same text keeps it
    EXPECT_TRUE(connectNow(*client));
    client->setRemoteHost(QStringLiteral("127.0.0.3"));
    ASSERT_TRUE(waitUntil([&] { return !client->Connected(); }, kWaitMs));

    // An empty host never connects; a name is looked up; a port that is no port is refused.
    client->setRemoteHost(QString());
    EXPECT_FALSE(connectNow(*client));
    client->setRemoteHost(QStringLiteral("localhost"));
    EXPECT_TRUE(connectNow(*client));
    client->setRemotePort(QStringLiteral("x1"));
    EXPECT_EQ(failureOf([&] { client->Connect(); }), integerConversionMessage("x1"));
}

TEST(TcpChannel, AtMostTenMessagesAreReadAtOnceAndTheRestWait) {
    Endpoints e;
    QList<LineMessage> received;
    auto server = e.listener(&received);
    // Eleven messages begin and none ends; the eleventh is not read until one of them is done.
    std::vector<int> open;
    for (int i = 0; i < kWorkersPerListener + 1; ++i) {
        open.push_back(loopbackSocket(server->boundPort()));
        sendRaw(open.back(), QByteArray::number(i) + "\r\n");
    }
    EXPECT_FALSE(waitUntil([&] { return !received.isEmpty(); }, 300));
    for (int fd : open)
        ::close(fd);
    ASSERT_TRUE(waitUntil([&] { return received.size() == kWorkersPerListener + 1; }, kWaitMs));
    for (int i = 0; i < received.size(); ++i)
        EXPECT_EQ(received[i].lines.first(), QByteArray::number(i));
}

TEST(TcpChannel, ConnectAndSendGiveUpInTimeAndHurryCutsThatShort) {
    Endpoints e;
    // A listener whose queue is full leaves further handshakes unanswered.
    const int deaf = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(deaf, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(deaf, 0), 0);
    socklen_t length = sizeof at;
    ::getsockname(deaf, reinterpret_cast<sockaddr*>(&at), &length);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        ::connect(fillers.back(), reinterpret_cast<sockaddr*>(&at), sizeof at);
    }
    auto client = e.client(ntohs(at.sin_port));
    client->setConnectTimeoutMs(300);
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(connectNow(*client));
    EXPECT_GE(clock.elapsed(), 250);

    // A hurry ends what was queued before it, and leaves what comes after to its own time.
    client->setConnectTimeoutMs(60000);
    std::optional<bool> first;
    client->Connect([&](bool c) { first = c; });
    client->hurry(50);
    clock.restart();
    ASSERT_TRUE(waitUntil([&] { return first.has_value(); }, kWaitMs));
    EXPECT_FALSE(*first);
    EXPECT_LT(clock.elapsed(), 5000);

    // Cancelled, everything fails at once, also what comes later.
    std::optional<bool> later;
    client->cancel();
    client->Connect([&](bool c) { later = c; });
    ASSERT_TRUE(waitUntil([&] { return later.has_value(); }, kWaitMs));
    EXPECT_FALSE(*later);
    for (int fd : fillers)
        ::close(fd);
    ::close(deaf);
}
