// Two copies in encrypted sessions, as two users set them up: the lock, the code both screens
// show, and chat, drawing and trading with nothing readable on the wire between them; a relay
// with its own key in the middle, a copy with another key at a verified peer's address, and a peer
// that speaks only the plain protocol.

#include "app/EncryptionLock.h"
#include "crypto/Identity.h"
#include "net/TlsSocket.h"
#include "support/BoardProbe.h"
#include "support/ByteRelay.h"
#include "support/PeerStandIns.h"
#include "support/TwoCopies.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QComboBox>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 20000;
const QString kLoopback = QStringLiteral("127.0.0.1");

QString lockText(const TForm1& form) {
    return form.EncryptionLock1->accessibleDescription();
}

// Relays in front of each of a copy's four listeners; the other copy sends through them.
struct Relays {
    std::vector<std::unique_ptr<ByteRelay>> relays;
    PortSet ports;
    explicit Relays(const PortSet& target) {
        for (const QString* port : {&target.chat, &target.trade, &target.plot, &target.download})
            relays.push_back(std::make_unique<ByteRelay>(port->toUShort()));
        ports = {QString::number(relays[0]->port()), QString::number(relays[1]->port()),
                 QString::number(relays[2]->port()), QString::number(relays[3]->port())};
    }
    QByteArray seen() const {
        QByteArray all;
        for (const auto& relay : relays)
            all += relay->seen;
        return all;
    }
};

// Two copies that each marked the other's entry for encryption, connected through relays.
struct RelayedPair {
    std::pair<PortSet, PortSet> ports = freePortSets();
    Relays toA{ports.first};
    Relays toB{ports.second};
    std::unique_ptr<Copy> a = makeCopy(ports.first, toB.ports, "Anna");
    std::unique_ptr<Copy> b = makeCopy(ports.second, toA.ports, "Bert");

    RelayedPair() {
        for (Copy* copy : {a.get(), b.get()}) {
            copy->form->markForEncryption(kLoopback, true);
            copy->form->uploadPauseMs = 60000; // only a session may go without the pauses
            goOnline(*copy->form);
        }
        connectTo(*a->form, kLoopback);
        connectTo(*b->form, kLoopback);
    }
};

// Someone in the middle with a key of its own: it ends each session it is offered and opens its
// own to the listener behind it, passing every frame on, both ways. It answers a verification
// itself on each side, as well as anyone in its place can: with its own commitments.
class KeyedRelay : public QTcpServer {
public:
    KeyedRelay(std::shared_ptr<TlsContext> context, const char* alpn, quint16 target)
        : context_(std::move(context)), alpn_(alpn), target_(target) {
        listen(QHostAddress::LocalHost);
    }

protected:
    void incomingConnection(qintptr fd) override {
        TlsSocket* inner = open(fd, TlsEngine::Role::Server);
        const int out = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(target_);
        if (::connect(out, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(out);
            inner->abort();
            return;
        }
        TlsSocket* outer = open(out, TlsEngine::Role::Client);
        join(inner, outer);
        join(outer, inner);
        // The verification the copy behind `inner` starts is answered on both sides.
        auto codes =
            std::make_shared<std::pair<std::unique_ptr<VerifyCode>, std::unique_ptr<VerifyCode>>>();
        const QByteArray own = context_->fingerprint();
        inner->frameArrived = [=](FrameEvent event) {
            if (event.kind != FrameEvent::Kind::Control)
                return outer->send(encodeDataFrame(event.bytes));
            if (!codes->first) {
                codes->first = std::make_unique<VerifyCode>(
                    VerifyCode::Role::Server, own, inner->peerFingerprint(), inner->verifySecret());
                codes->second = std::make_unique<VerifyCode>(
                    VerifyCode::Role::Client, own, outer->peerFingerprint(), outer->verifySecret());
                for (const QByteArray& payload : codes->second->start())
                    outer->send(encodeControlFrame(payload));
            }
            QList<QByteArray> replies = codes->first->received(event.bytes);
            replies += codes->first->start();
            for (const QByteArray& payload : replies)
                inner->send(encodeControlFrame(payload));
        };
        outer->frameArrived = [=](FrameEvent event) {
            if (event.kind != FrameEvent::Kind::Control)
                return inner->send(encodeDataFrame(event.bytes));
            if (codes->second)
                for (const QByteArray& payload : codes->second->received(event.bytes))
                    outer->send(encodeControlFrame(payload));
        };
    }

private:
    TlsSocket* open(intptr_t fd, TlsEngine::Role role) {
        TlsSocket::Settings settings{context_, role, alpn_, 64 * 1024 * 1024};
        auto* socket = new TlsSocket(fd, settings, this);
        socket->handshakeDone = [socket] { socket->admit(); };
        return socket;
    }
    static void join(TlsSocket* from, TlsSocket* to) {
        from->frameArrived = [to](FrameEvent event) {
            to->send(event.kind == FrameEvent::Kind::Control ? encodeControlFrame(event.bytes)
                                                             : encodeDataFrame(event.bytes));
        };
        from->ended = [to](const QString&) { to->abort(); };
    }
    std::shared_ptr<TlsContext> context_;
    QByteArray alpn_;
    quint16 target_;
};

std::shared_ptr<TlsContext> contextIn(const QTemporaryDir& folder) {
    const IdentityLoad load = loadOrCreateIdentity(folder.path());
    QString error;
    return load.identity ? TlsContext::create(*load.identity, &error) : nullptr;
}

// Keyed relays in front of each of a copy's four listeners.
struct KeyedRelays {
    std::vector<std::unique_ptr<KeyedRelay>> relays;
    PortSet ports;
    KeyedRelays(const std::shared_ptr<TlsContext>& context, const PortSet& target) {
        const std::pair<const QString*, const char*> channels[] = {
            {&target.chat, kAlpnChat},
            {&target.trade, kAlpnTrade},
            {&target.plot, kAlpnPlot},
            {&target.download, kAlpnDownload}};
        for (const auto& [port, alpn] : channels)
            relays.push_back(std::make_unique<KeyedRelay>(context, alpn, port->toUShort()));
        ports = {QString::number(relays[0]->serverPort()), QString::number(relays[1]->serverPort()),
                 QString::number(relays[2]->serverPort()),
                 QString::number(relays[3]->serverPort())};
    }
};

// a's user clicks "Verify peer…", and b's at the same moment when bothClick.
void verifyPair(TForm1& a, TForm1& b, bool bothClick = false) {
    a.Button8->click(); // handles no events: b's click comes before a's commitment reaches b
    if (bothClick)
        b.Button8->click();
    ASSERT_TRUE(waitUntil([&] { return a.verifyDialog() && b.verifyDialog(); }, kWaitMs))
        << a.Memo1->toPlainText().toStdString() << "\n---\n"
        << b.Memo1->toPlainText().toStdString();
}

} // namespace

TEST(Sessions, TwoCopiesVerifyThenChatDrawAndTradeWithNothingReadableOnTheWire) {
    RelayedPair pair;
    TForm1& a = *pair.a->form;
    TForm1& b = *pair.b->form;
    ASSERT_TRUE(waitUntil(
        [&] {
            return lockText(a) == "Encrypted, not verified" &&
                   lockText(b) == "Encrypted, not verified";
        },
        kWaitMs))
        << lockText(a).toStdString() << " / " << lockText(b).toStdString();
    EXPECT_TRUE(a.Button8->isEnabled());

    // Both users click at once; both screens show the same code; both users say so.
    verifyPair(a, b, true);
    EXPECT_EQ(a.verifyDialog()->request().code, b.verifyDialog()->request().code);
    EXPECT_EQ(a.verifyDialog()->request().peerKey, b.ownIdentity());
    // Neither copy holds on to the exchange it gave up: each user may verify again at once.
    for (TForm1* clicking : {&b, &a}) {
        const int before = logLines(a).size() + logLines(b).size();
        a.closeVerifyDialog();
        b.closeVerifyDialog();
        ASSERT_TRUE(waitUntil([&] { return !a.verifyDialog() && !b.verifyDialog(); }));
        verifyPair(*clicking, clicking == &a ? b : a);
        EXPECT_EQ(a.verifyDialog()->request().code, b.verifyDialog()->request().code);
        EXPECT_EQ(logLines(a).size() + logLines(b).size(), before); // no "Verifying … failed"
    }
    for (TForm1* form : {&a, &b})
        QTest::mouseClick(form->verifyDialog()->matchButton, Qt::LeftButton);
    ASSERT_TRUE(waitUntil(
        [&] {
            return lockText(a).startsWith("Encrypted and verified: ") &&
                   lockText(b).startsWith("Encrypted and verified: ");
        },
        kWaitMs));
    EXPECT_NE(a.pairings().byKey(b.ownIdentity()), nullptr);

    // Chat, a stroke and a file, each end to end.
    a.Edit3->setText("the secret meeting place");
    QTest::keyClick(a.Edit3, Qt::Key_Return);
    ASSERT_TRUE(waitUntil([&] { return logHas(b, "<Anna>: the secret meeting place"); }, kWaitMs));
    const QList<QPoint> stroke = {{10, 10}, {20, 10}, {30, 10}, {40, 10}};
    strokeOn(a.Image2, stroke);
    ASSERT_TRUE(waitUntil([&] { return boardPixel(b, 30, 10) == boardPixel(a, 30, 10); }, kWaitMs));
    const QByteArray content = "PRIVATE-FILE-CONTENT " + QByteArray(20000, 'x');
    writeTestFile(pair.b->tradeFolder() + "plans.txt", content);
    b.ListTradeFolder();
    b.SendFileList();
    ASSERT_TRUE(waitUntil([&] { return a.ListView1->topLevelItemCount() == 1; }, kWaitMs));
    a.ListView1->topLevelItem(0)->setCheckState(0, Qt::Checked);
    QTest::mouseClick(a.BitBtn19, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return b.SendQueue.size() == 1; }, kWaitMs));
    QTest::mouseClick(b.BitBtn19, Qt::LeftButton); // Bert asks for nothing
    ASSERT_TRUE(waitUntil([&] { return a.agreement.round() == 2; }, kWaitMs));
    QTest::mouseClick(a.BitBtn20, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return b.agreement.PeerAccepted(); }, kWaitMs));
    QTest::mouseClick(b.BitBtn20, Qt::LeftButton);
    // Without the minute-long pauses of the plain protocol: a session goes at once.
    ASSERT_TRUE(waitUntil(
        [&] { return readTestFile(pair.a->saveFolder() + "plans.txt") == content; }, kWaitMs))
        << a.Memo1->toPlainText().toStdString() << "\n---\n"
        << b.Memo1->toPlainText().toStdString();

    const QByteArray wire = pair.toA.seen() + pair.toB.seen();
    EXPECT_GT(wire.size(), content.size());
    for (const char* text : {"secret", "Anna", "PRIVATE-FILE", "plans.txt", "xxxxxxxx"})
        EXPECT_FALSE(wire.contains(text)) << text;
    EXPECT_TRUE(pair.a->errors.isEmpty()) << pair.a->errors.join('|').toStdString();
}

TEST(Sessions, ARelayWithItsOwnKeyMakesTheCodesDifferAndEndsTheConnection) {
    QTemporaryDir middleFolder;
    const auto middle = contextIn(middleFolder);
    const auto [pa, pb] = freePortSets();
    KeyedRelays toA(middle, pa), toB(middle, pb);
    auto ca = makeCopy(pa, toB.ports, "Anna");
    auto cb = makeCopy(pb, toA.ports, "Bert");
    TForm1& a = *ca->form;
    TForm1& b = *cb->form;
    for (TForm1* form : {&a, &b}) {
        form->markForEncryption(kLoopback, true);
        goOnline(*form);
    }
    connectTo(a, kLoopback);
    connectTo(b, kLoopback);
    // Each sees the relay's key and takes it for the peer's: only the code can tell.
    ASSERT_TRUE(waitUntil([&] { return lockText(a) == "Encrypted, not verified"; }, kWaitMs))
        << lockText(a).toStdString();
    verifyPair(a, b);
    EXPECT_NE(a.verifyDialog()->request().code, b.verifyDialog()->request().code);
    EXPECT_EQ(a.verifyDialog()->request().peerKey, middle->fingerprint());

    QTest::mouseClick(a.verifyDialog()->differButton, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return a.statusIconIndex != 2; }, kWaitMs));
    EXPECT_TRUE(lockText(a).startsWith("Security warning: the codes differed"))
        << lockText(a).toStdString();
    EXPECT_TRUE(a.pairings().entries().empty());
}

TEST(Sessions, AnotherKeyAtAVerifiedPeersAddressIsRefusedWithAWarning) {
    RelayedPair pair;
    TForm1& a = *pair.a->form;
    verifyPair(a, *pair.b->form);
    for (TForm1* form : {&a, pair.b->form.get()})
        QTest::mouseClick(form->verifyDialog()->matchButton, Qt::LeftButton);
    ASSERT_TRUE(
        waitUntil([&] { return lockText(a).startsWith("Encrypted and verified"); }, kWaitMs));

    // Bert's copy is gone; another, with a key of its own, answers at his address and ports.
    const PortSet bertPorts = pair.ports.second;
    pair.b.reset();
    auto eve = makeCopy(bertPorts, pair.toA.ports, "Eve");
    eve->form->markForEncryption(kLoopback, true);
    goOnline(*eve->form);
    connectTo(*eve->form, kLoopback);
    ASSERT_TRUE(waitUntil([&] { return lockText(a).startsWith("Security warning: "); }, kWaitMs))
        << lockText(a).toStdString();
    EXPECT_TRUE(lockText(a).contains("another key")) << lockText(a).toStdString();
    // Eve's copy hears why its sessions end.
    ASSERT_TRUE(waitUntil([&] { return lockText(*eve->form).contains("refused this copy's key"); },
                          kWaitMs))
        << lockText(*eve->form).toStdString();
    // Nor does a new Connect take it for Bert.
    clickAndSettle(a, a.BitBtn17);
    connectTo(a, kLoopback);
    EXPECT_NE(a.statusIconIndex, 2);
    EXPECT_TRUE(lockText(a).startsWith("Security warning: ")) << lockText(a).toStdString();
}

TEST(Sessions, APlainPeerIsSpokenToPlainlyAndRefusedWhenEncryptionIsRequired) {
    StandInPeer peer;
    auto copy = onlineCopy([&](PortSet& remote) { remote = peer.aimedAt(remote); });
    TForm1& form = *copy->form;
    connectTo(form, kLoopback);
    ASSERT_EQ(form.statusIconIndex, 2);
    EXPECT_EQ(lockText(form), "Not encrypted");
    form.Edit3->setText("hello plainly");
    QTest::keyClick(form.Edit3, Qt::Key_Return);
    ASSERT_TRUE(waitUntil(
        [&] { return peer.chat.received().contains(QList<QByteArray>{"<Eve>: hello plainly"}); },
        kWaitMs));

    clickAndSettle(form, form.BitBtn17);
    form.ComboBox1->setCurrentIndex(int(EncryptionChoice::Required));
    emit form.ComboBox1->activated(int(EncryptionChoice::Required));
    const auto before = peer.chat.received().size();
    connectTo(form, kLoopback);
    EXPECT_NE(form.statusIconIndex, 2);
    EXPECT_TRUE(logHas(form, "Security warning: 127.0.0.1 does not offer encryption, and "
                             "Encryption is Required."));
    EXPECT_EQ(peer.chat.received().size(), before);
}
