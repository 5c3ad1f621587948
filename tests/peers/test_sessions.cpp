// Two copies in encrypted sessions, as two users set them up: the lock, the code both screens
// show, and chat, drawing and trading with nothing readable on the wire between them; a relay
// with its own key in the middle, a copy with another key at a verified peer's address, and a peer
// that speaks only the plain protocol.

#include "app/EncryptionLock.h"
#include "support/BoardProbe.h"
#include "support/ByteRelay.h"
#include "support/PeerStandIns.h"
#include "support/TwoCopies.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

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

void verifyBoth(TForm1& a, TForm1& b, VerifyDecision decision) {
    QTest::mouseClick(a.Button8, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return a.verifyDialog() && b.verifyDialog(); }, kWaitMs));
    for (TForm1* form : {&a, &b})
        QTest::mouseClick(decision == VerifyDecision::Match ? form->verifyDialog()->matchButton
                                                            : form->verifyDialog()->differButton,
                          Qt::LeftButton);
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

    // Both screens show the same code; both users say so.
    QTest::mouseClick(a.Button8, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return a.verifyDialog() && b.verifyDialog(); }, kWaitMs));
    EXPECT_EQ(a.verifyDialog()->request().code, b.verifyDialog()->request().code);
    EXPECT_EQ(a.verifyDialog()->request().peerKey, b.ownIdentity());
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
