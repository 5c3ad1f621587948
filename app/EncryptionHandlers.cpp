// What the user sees of encrypted sessions: the "Encryption" choice of the Options page, the lock
// in the status bar, "Verify peer…" with its window, and "Forget pairing" in the address book's
// pop-up menu. The sessions themselves live with the sockets; they call the hooks here on the GUI
// thread and listen to the window's signals.

#include "app/MainForm.h"

#include "app/EncryptionLock.h"
#include "common/GuiThread.h"

#include <QAction>
#include <QComboBox>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>

void TForm1::setUpEncryption() {
    connect(ComboBox1, &QComboBox::activated, this,
            [this] { guarded([this] { ComboBox1Change(); }); });
    connect(Button8, &QPushButton::clicked, this, [this] { guarded([this] { Button8Click(); }); });
    connect(ForgetPairing1, &QAction::triggered, this,
            [this] { guarded([this] { ForgetPairing1Click(); }); });
    connect(EncryptWith1, &QAction::triggered, this,
            [this] { guarded([this] { EncryptWith1Click(); }); });
    // Offered only on an entry that has a verified peer.
    connect(PopupMenu1, &QMenu::aboutToShow, this, [this] {
        const QListWidgetItem* item = ListBox1->currentItem();
        ForgetPairing1->setEnabled(item && pairings_.byAddress(item->text()));
        EncryptWith1->setEnabled(item != nullptr);
        EncryptWith1->setChecked(item && markedForEncryption(item->text()));
    });
}

QString TForm1::encryptionChoicePath() const {
    return programFolder_ + QLatin1String(kEncryptionFileName);
}

QString TForm1::pairingsPath() const {
    return programFolder_ + QLatin1String(kPairingsFileName);
}

void TForm1::loadEncryptionStores() {
    encryptionChoice_ = loadEncryptionChoice(encryptionChoicePath());
    encryptionMarks_ = loadEncryptionMarks(encryptionChoicePath());
    ComboBox1->setCurrentIndex(int(encryptionChoice_));
    pairings_ = Pairings::load(pairingsPath());
}

void TForm1::ComboBox1Change() {
    const auto chosen = EncryptionChoice(ComboBox1->currentIndex());
    if (chosen == encryptionChoice_)
        return;
    encryptionChoice_ = chosen;
    announceThisCopy(); // the offer on the network follows at once
    emit encryptionChoiceChanged(chosen);
    saveEncryptionChoice(encryptionChoicePath(), chosen, encryptionMarks_);
}

void TForm1::setOwnIdentity(const QByteArray& fingerprint) {
    VORLAX_ON_THREAD_OF(this);
    ownKey_ = fingerprint;
    announceThisCopy();
}

void TForm1::rememberPairing(const Pairing& pairing) {
    VORLAX_ON_THREAD_OF(this);
    pairings_.remember(pairing);
    showFoundCopies();
    guarded([this] { pairings_.save(pairingsPath()); });
}

void TForm1::setChannelSecurity(Channel channel, const ChannelSecurity& security) {
    VORLAX_ON_THREAD_OF(this);
    channelSecurity_[size_t(channel)] = security;
    EncryptionLock1->setSecurity(weakestChannel(channelSecurity_));
}

void TForm1::setVerifyPeerAvailable(bool available) {
    Button8->setEnabled(available);
}

void TForm1::Button8Click() {
    emit verifyPeerRequested();
}

VerifyDialog* TForm1::openVerifyDialog(const VerifyRequest& request) {
    VORLAX_ON_THREAD_OF(this);
    if (verifyDialog_ && verifyDialog_->isVisible() &&
        verifyDialog_->request().code == request.code &&
        verifyDialog_->request().peerKey == request.peerKey) {
        verifyDialog_->raise();
        verifyDialog_->activateWindow();
        return verifyDialog_;
    }
    closeVerifyDialog();
    auto* dialog = new VerifyDialog(request, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &VerifyDialog::decided, this, [this, request](VerifyDecision decision) {
        if (decision == VerifyDecision::Match)
            rememberPairing({request.peerKey, request.peerAddress, request.peerName});
        emit peerVerificationDecided(request, decision);
    });
    verifyDialog_ = dialog;
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
    return dialog;
}

void TForm1::closeVerifyDialog() {
    if (verifyDialog_)
        verifyDialog_->close();
}

void TForm1::ForgetPairing1Click() {
    const QListWidgetItem* item = ListBox1->currentItem();
    if (!item || !pairings_.forgetAddress(item->text()))
        return;
    const QString address = item->text();
    showFoundCopies();
    emit pairingForgotten(address);
    pairings_.save(pairingsPath());
}

bool TForm1::markedForEncryption(const QString& address) const {
    return encryptionMarks_.contains(address, Qt::CaseInsensitive);
}

// Marks the entry for encrypted sessions, for a peer that does not announce them (no discovery on
// its network), or takes the mark away.
void TForm1::EncryptWith1Click() {
    const QListWidgetItem* item = ListBox1->currentItem();
    if (!item)
        return;
    markForEncryption(item->text(), !markedForEncryption(item->text()));
}

void TForm1::markForEncryption(const QString& address, bool marked) {
    encryptionMarks_.removeIf(
        [&](const QString& m) { return m.compare(address, Qt::CaseInsensitive) == 0; });
    if (marked && encryptionMarks_.size() < kMaxEncryptionMarks)
        encryptionMarks_ << address;
    saveEncryptionChoice(encryptionChoicePath(), encryptionChoice_, encryptionMarks_);
}
