// The folder buttons of the Options page: each shows the folder chooser and puts the chosen folder,
// with a "/" appended, into its field. Choosing the trade folder also refreshes the offered files
// and, while connected, sends the new list to the peer.

#include "app/MainForm.h"

#include "common/GuiThread.h"
#include "common/ProgramError.h"

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
    Edit1->setText(chosenFolder(dialogs_));
}

void TForm1::SpeedButton2Click() {
    Edit4->setText(chosenFolder(dialogs_));
    ListTradeFolder();
    if (!TradeClient->Connected())
        return;
    // Sending waits on the network, so it runs on the connection worker, in turn behind any
    // connection step already queued there. A failure is reported back on the GUI thread.
    netWorker_->post([this] {
        const QString failure = failureOf([this] { SendFileList(); });
        if (!failure.isEmpty())
            postTo(this, [this, failure] { reportError(failure); });
    });
}
