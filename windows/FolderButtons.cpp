// The folder buttons of the Options page: each shows the folder chooser and puts the chosen folder,
// with a "/" appended, into its field. Choosing the trade folder also refreshes the offered files
// and, while connected, sends the new list to the peer.

#include "app/MainForm.h"

#include <QLineEdit>

namespace {
const QString kFolderSeparator = QStringLiteral("/");

// The chooser's result however it was closed; nothing is checked, so with nothing selected the
// field gets a lone "/".
QString chosenFolder(const FormDialogs& dialogs) {
    const QString folder = dialogs.chooseFolder ? dialogs.chooseFolder() : QString();
    return folder + kFolderSeparator;
}
} // namespace

void TForm1::SpeedButton1Click() {
    const QString folder = chosenFolder(dialogs_);
    if (refuseFolderWithLineBreak(folder))
        return;
    Edit1->setText(folder);
}

void TForm1::SpeedButton2Click() {
    const QString folder = chosenFolder(dialogs_);
    if (refuseFolderWithLineBreak(folder))
        return;
    Edit4->setText(folder);
    ListTradeFolder();
    if (!tradeClientUsable())
        return;
    // Queued behind any send or connection step of the trade client, and sent if the client is
    // connected when its turn comes.
    SendFileList(true);
}
