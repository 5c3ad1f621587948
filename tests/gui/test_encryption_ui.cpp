// What the user sees of encrypted sessions through the window: the "Encryption" choice kept in a
// file of its own across runs, the lock in the status bar, and the verify window's answer
// remembering the peer until "Forget pairing" drops it.

#include "support/TwoCopies.h"

#include "app/EncryptionChoice.h"
#include "common/LineFile.h"

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>

#include <gtest/gtest.h>

namespace {
void restart(Copy& copy) {
    copy.form.reset();
    startForm(copy);
}

const QByteArray kPeerKey(kKeyFingerprintBytes, '\x5a');
const QByteArray kOwnKey(kKeyFingerprintBytes, '\x0f');
} // namespace

TEST(EncryptionUi, ChoiceIsKeptBesideTheSettingsAndTheLockShowsTheWeakestChannel) {
    const auto [local, remote] = freePortSets();
    auto copy = makeCopy(local, remote, "Anna");
    const QString choicePath = copy->folder.filePath(kEncryptionFileName);
    const QString settingsPath = copy->form->settingsPath();

    auto* lock = copy->form->StatusBar1->findChild<QWidget*>("EncryptionLock1");
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(lock->accessibleName(), "Encryption");
    EXPECT_EQ(lock->accessibleDescription(), "Not encrypted");
    EXPECT_TRUE(lock->isVisible());
    for (int c = 0; c < kChannelCount; ++c)
        copy->form->setChannelSecurity(Channel(c), {Protection::Verified, "Bert", {}});
    EXPECT_EQ(lock->accessibleDescription(), "Encrypted and verified: Bert");
    EXPECT_EQ(lock->toolTip(), "Encrypted and verified: Bert");
    copy->form->setChannelSecurity(Channel::Plot, {Protection::Encrypted, {}, {}});
    EXPECT_EQ(lock->accessibleDescription(), "Encrypted, not verified");

    // No file: the default. A choice made is written at once, and read at the next start.
    QComboBox* choice = copy->form->ComboBox1;
    EXPECT_EQ(choice->accessibleName(), "Encryption");
    EXPECT_EQ(choice->currentText(), "When available");
    EXPECT_FALSE(QFile::exists(choicePath));
    QTest::keyClick(choice, Qt::Key_Down);
    EXPECT_EQ(copy->form->encryptionChoice(), EncryptionChoice::Required);
    EXPECT_EQ(readLineFile(choicePath), QStringList{"Required"});
    restart(*copy);
    EXPECT_EQ(copy->form->ComboBox1->currentText(), "Required");
    EXPECT_EQ(copy->form->encryptionChoice(), EncryptionChoice::Required);
    EXPECT_EQ(readLineFile(settingsPath).size(), kSettingsLineCount); // the settings file as ever

    // A file that does not read as a choice gives the default again.
    copy->form.reset();
    writeLineFile(choicePath, {"Maybe"});
    startForm(*copy);
    EXPECT_EQ(copy->form->encryptionChoice(), kDefaultEncryptionChoice);
    EXPECT_EQ(copy->form->ComboBox1->currentText(), "When available");
    EXPECT_TRUE(copy->errors.isEmpty()) << copy->errors.join('\n').toStdString();
}

TEST(EncryptionUi, MatchingCodesRememberThePeerUntilItsPairingIsForgotten) {
    const auto [local, remote] = freePortSets();
    auto copy = makeCopy(local, remote, "Anna");
    TForm1& form = *copy->form;
    EXPECT_FALSE(form.Button8->isEnabled()); // no encrypted session yet
    form.setVerifyPeerAvailable(true);
    QSignalSpy asked(&form, &TForm1::verifyPeerRequested);
    form.Button8->click();
    EXPECT_EQ(asked.count(), 1);

    QSignalSpy decided(&form, &TForm1::peerVerificationDecided);
    VerifyDialog* dialog =
        form.openVerifyDialog({"Bert", "127.0.0.7", "042917", kPeerKey, kOwnKey});
    ASSERT_TRUE(waitUntil([&] { return dialog->isVisible(); }));
    EXPECT_EQ(dialog->windowTitle(), "Verify peer");
    EXPECT_FALSE(dialog->isModal());
    EXPECT_EQ(dialog->parentWidget(), &form);
    EXPECT_EQ(dialog->codeLabel->text(), "042 917");
    // Closed without an answer: undecided, nothing remembered.
    dialog->close();
    ASSERT_EQ(decided.count(), 1);
    EXPECT_EQ(decided[0][1].value<VerifyDecision>(), VerifyDecision::Undecided);
    EXPECT_EQ(form.pairings().byKey(kPeerKey), nullptr);

    dialog = form.openVerifyDialog({"Bert", "127.0.0.7", "042917", kPeerKey, kOwnKey});
    dialog->matchButton->click();
    ASSERT_EQ(decided.count(), 2);
    EXPECT_EQ(decided[1][1].value<VerifyDecision>(), VerifyDecision::Match);
    const Pairing* remembered = form.pairings().byKey(kPeerKey);
    ASSERT_NE(remembered, nullptr);
    EXPECT_EQ(remembered->nickname, "Bert");
    EXPECT_EQ(remembered->address, "127.0.0.7");
    EXPECT_NE(Pairings::load(form.pairingsPath()).byKey(kPeerKey), nullptr);

    // "Forget pairing" is offered on the peer's address-book entry only.
    form.ListBox1->addItems({"127.0.0.9", "127.0.0.7"});
    auto offeredOn = [&form](int row) {
        form.ListBox1->setCurrentRow(row);
        emit form.PopupMenu1->aboutToShow();
        return form.ForgetPairing1->isEnabled();
    };
    EXPECT_FALSE(offeredOn(0));
    ASSERT_TRUE(offeredOn(1));
    QSignalSpy forgotten(&form, &TForm1::pairingForgotten);
    form.ForgetPairing1->trigger();
    EXPECT_EQ(forgotten.count(), 1);
    EXPECT_EQ(form.pairings().byKey(kPeerKey), nullptr);
    restart(*copy);
    EXPECT_EQ(copy->form->pairings().byKey(kPeerKey), nullptr);
    EXPECT_TRUE(copy->errors.isEmpty()) << copy->errors.join('\n').toStdString();
}
