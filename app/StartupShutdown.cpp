// What the main window does when it is created and when it closes, step by step in that order.

#include "app/MainForm.h"

#include "board/BoardView.h"
#include "common/ProgramError.h"
#include "common/GuiThread.h"
#include "net/PeerList.h"

#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QPalette>
#include <QPushButton>
#include <QTimer>

namespace {
// Network work queued before the close gets this long to finish; then every client gives up what
// it waits for, so closing never hangs on a peer.
constexpr int kCloseGraceMs = 200;
const QString kFirewallHint = QStringLiteral(
    "If you want to use Vorlax, please deactivate the Windows-Firewall. (Properties of your "
    "Internet-connection, More Options, deactivate firewall)");
} // namespace

void TForm1::FormCreate() {
    // A failing step is reported and the later steps still run, so the window opens usable: the
    // send queue exists and the local file list is filled whatever went wrong before.
    auto step = [this](const std::function<void()>& body) { guarded(body); };
    step([this] { PlotPumpBusy = false; });
    step([this] { setUpDownloadChannel(); });
    step([this] { setDrawColor(0); });
    step([this] {
        const QSize view = Image2->size().expandedTo(QSize(1, 1));
        board = std::make_unique<TBoard>(view.width(), view.height());
        board->setFillColor(0xFFFFFF);
    });
    step([this] { StrokeActive = false; });
    step([this] {
        PlotQueue.clear();
        PeerList.clear();
    });
    step([this] {
        if (QFileInfo::exists(peerListPath()))
            PeerList = loadPeerList(peerListPath());
    });
    step([this] {
        ListBox1->clear();
        ListBox1->addItems(PeerList);
    });
    step([this] { loadEncryptionStores(); });
    step([this] {
        if (QFileInfo::exists(settingsPath()))
            readSettingsFile();
        else
            dialogs_.showMessage(kFirewallHint);
    });
    step([this] { SendQueue.clear(); });
    step([this] { ListTradeFolder(); });
}

// Closing cancels, then joins: the accept handlers' hops are called off first, then the pauses
// and what peers provoked; sends queued before get a short grace, then every client gives up what
// it waits for. No step waits for the GUI thread, so it waits for them plainly, without delivering
// events, and applies the results of connection steps itself.
void TForm1::FormClose() {
    VORLAX_ON_THREAD_OF(this);
    if (closing_)
        return;
    closing_ = true;
    hops_.close();
    withdrawThisCopy();
    uploadPauses_.close();
    Timer3->stop();
    Timer1->stop();
    netWorker_->cancel(kNextFileRequest);
    netWorker_->cancel(kChatAnswer);
    agreement.sendsEnded(netWorker_->cancel(kTradeAnswer) + netWorker_->cancel(kListing));
    // A chat line typed just before still goes out to a peer that takes it.
    netWorker_->waitIdleFor(kCloseGraceMs);
    for (TTcpClient* client : {ChatClient.get(), TradeClient.get(), Plot_Client.get()})
        client->cancel();
    // A connection step still running ends first, so Disconnect sees the buttons it left: a
    // cancelled attempt fails at once.
    netWorker_->waitIdle();
    applyAttempt();
    guarded([this] { writeSettingsFile(); });
    if (disconnectOffered_)
        guarded([this] { BitBtn17Click(); });
    if (onlineToggled_)
        guarded([this] { BitBtn18Click(); });
    // A file still moving either way is given up: its partial file is removed.
    DownloadServer->Close();
    DownloadClient->Close();
    Timer2->stop();
    plotWorker_->waitIdle();
    uploadWorker_->waitIdle();
    PlotQueue.clear();
    PeerList.clear();
    // Connections the peer still holds open end now, so no worker outlives the window.
    for (TTcpServer* server : {ChatServer.get(), TradeServer.get(), Plot_Server.get()})
        server->shutdownConnections();
    setLinkState(LinkState::Closing);
    closed_ = true;
}
