// Encrypted sessions on a line channel, over real loopback sockets: what a relay in the middle
// sees of them, the key check on both ends, and plain connections refused when they must be.
#include "common/GuiThread.h"
#include "crypto/Identity.h"
#include "crypto/TlsEngine.h"
#include "net/HandshakeLimits.h"
#include "net/NetworkThread.h"
#include "net/TcpChannel.h"
#include "support/ByteRelay.h"
#include "support/Wait.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

namespace {

constexpr int kWaitMs = 15000;
const QString kLoopback = QStringLiteral("127.0.0.1");

std::shared_ptr<TlsContext> makeContext(const QTemporaryDir& folder) {
    const IdentityLoad load = loadOrCreateIdentity(folder.path());
    EXPECT_TRUE(load.identity.has_value()) << load.error.toStdString();
    QString error;
    return TlsContext::create(*load.identity, &error);
}

struct Ends {
    Mailbox window;
    std::unique_ptr<NetworkThread> network = std::make_unique<NetworkThread>();
    TTcpServer server{*network, window};
    TTcpClient client{*network, window};
    QList<LineMessage> received;
    QList<SecurityEvent> serverEvents;
    QList<SecurityEvent> clientEvents;
    QList<QByteArray> controls;

    Ends() {
        server.setLocalHost(kLoopback);
        server.setLocalPort("0");
        server.OnAccept = [this](TTcpServer*, LineMessage m) { received << m; };
        server.OnSecurity = [this](const SecurityEvent& e) { serverEvents << e; };
        client.OnSecurity = [this](const SecurityEvent& e) { clientEvents << e; };
        client.OnControl = [this](const QByteArray& p) { controls << p; };
        bool opened = false;
        server.Open([&] { opened = true; });
        EXPECT_TRUE(waitUntil([&] { return opened; }, kWaitMs));
        client.setRemoteHost(kLoopback);
    }
    ~Ends() { network->stop(); }

    bool connectTo(quint16 port) {
        client.setRemotePort(QString::number(port));
        std::optional<bool> result;
        client.Connect([&](bool connected) { result = connected; });
        EXPECT_TRUE(waitUntil([&] { return result.has_value(); }, kWaitMs));
        return result.value_or(false);
    }
};

} // namespace

TEST(LineSession, MessagesCrossEncryptedAndTheRelayReadsNothing) {
    QTemporaryDir a, b;
    const auto clientContext = makeContext(a);
    const auto serverContext = makeContext(b);
    Ends ends;
    ends.server.setSessionPolicy({serverContext, {}, true}, kAlpnChat);
    ends.client.setSessionPolicy({clientContext, serverContext->fingerprint(), false}, kAlpnChat);
    ByteRelay relay(ends.server.boundPort());

    ASSERT_TRUE(ends.connectTo(relay.port()));
    EXPECT_TRUE(ends.client.Encrypted());
    EXPECT_EQ(ends.client.PeerKey(), serverContext->fingerprint());
    for (const char* text : {"<Ann> the secret plan", "<Ann> a second secret"})
        ends.client.send({{QByteArray(text)}});
    ASSERT_TRUE(waitUntil([&] { return ends.received.size() == 2; }, kWaitMs));
    EXPECT_EQ(ends.received[0].lines, QList<QByteArray>{"<Ann> the secret plan"});
    EXPECT_EQ(ends.received[1].lines, QList<QByteArray>{"<Ann> a second secret"});
    // One long-lived session carried both, and the listener knows whose key it was.
    EXPECT_NE(ends.received[0].session, 0u);
    EXPECT_EQ(ends.received[0].session, ends.received[1].session);
    EXPECT_EQ(ends.received[0].peerKey, clientContext->fingerprint());
    ASSERT_FALSE(ends.serverEvents.isEmpty());
    EXPECT_EQ(ends.serverEvents[0].kind, SecurityEvent::Kind::Established);
    EXPECT_EQ(ends.serverEvents[0].verifySecret, ends.client.VerifySecret());

    // Control frames go back on the same session.
    ends.server.sendControl(ends.received[0].session, "\x01hello");
    ASSERT_TRUE(waitUntil([&] { return !ends.controls.isEmpty(); }, kWaitMs));
    EXPECT_EQ(ends.controls[0], QByteArray("\x01hello"));

    EXPECT_FALSE(relay.seen.isEmpty());
    EXPECT_FALSE(relay.seen.contains("secret"));
    EXPECT_FALSE(relay.seen.contains("Ann"));
}

TEST(LineSession, AnotherKeyIsRefusedAndPlainIsRefusedWhenAskedTo) {
    QTemporaryDir a, b, c;
    const auto clientContext = makeContext(a);
    const auto serverContext = makeContext(b);
    const auto expected = makeContext(c)->fingerprint();
    Ends ends;
    ends.server.setSessionPolicy({serverContext, {}, true}, kAlpnChat);

    // The client expects a key the listener does not hold: it never counts as connected.
    ends.client.setSessionPolicy({clientContext, expected, false}, kAlpnChat);
    EXPECT_FALSE(ends.connectTo(ends.server.boundPort()));
    ASSERT_FALSE(ends.clientEvents.isEmpty());
    EXPECT_EQ(ends.clientEvents.last().kind, SecurityEvent::Kind::KeyRefused);
    EXPECT_EQ(ends.clientEvents.last().key, serverContext->fingerprint());

    // The listener expects another key than the client's: the session is refused there.
    ends.server.setSessionPolicy({serverContext, expected, true}, kAlpnChat);
    ends.client.setSessionPolicy({clientContext, {}, false}, kAlpnChat);
    ends.connectTo(ends.server.boundPort());
    ends.client.send({{"<Ann> not for you"}});
    ASSERT_TRUE(waitUntil(
        [&] {
            return !ends.serverEvents.isEmpty() &&
                   ends.serverEvents.last().kind == SecurityEvent::Kind::KeyRefused;
        },
        kWaitMs));

    // A plain message while plain is refused.
    ends.client.Disconnect();
    ends.client.setSessionPolicy({}, kAlpnChat);
    ASSERT_TRUE(ends.connectTo(ends.server.boundPort()));
    ends.client.send({{"<Ann> plain words"}});
    ASSERT_TRUE(waitUntil(
        [&] { return ends.serverEvents.last().kind == SecurityEvent::Kind::PlainRefused; },
        kWaitMs));
    EXPECT_TRUE(ends.received.isEmpty());
}

TEST(LineSession, HandshakesPendingFromOneAddressAreBounded) {
    QTemporaryDir a, b;
    const auto clientContext = makeContext(a);
    Ends ends;
    ends.server.setSessionPolicy({makeContext(b), {}, false}, kAlpnChat);
    // The start of a ClientHello whose record never comes whole: its handshake stays pending.
    const QByteArray helloStart("\x16\x03\x01\x00\x40", 5);
    auto pending = [&] {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(ends.server.boundPort());
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        EXPECT_EQ(::send(fd, helloStart.constData(), size_t(helloStart.size()), MSG_NOSIGNAL),
                  helloStart.size());
        return fd;
    };
    auto closedByPeer = [](int fd) {
        char byte;
        return ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
    };
    std::vector<int> held;
    for (int i = 0; i < kMaxHandshakesPerAddress; ++i)
        held.push_back(pending());
    const int beyond = pending();
    EXPECT_TRUE(waitUntil([&] { return closedByPeer(beyond); }, kWaitMs));
    for (int fd : held)
        EXPECT_FALSE(closedByPeer(fd));

    // Handshakes that end give their places back.
    for (int fd : held)
        ::close(fd);
    ::close(beyond);
    ends.client.setSessionPolicy({clientContext, {}, false}, kAlpnChat);
    EXPECT_TRUE(waitUntil([&] { return ends.connectTo(ends.server.boundPort()); }, kWaitMs));
}
