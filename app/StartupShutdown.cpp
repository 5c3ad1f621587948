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
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

namespace {
// Network work queued before the close gets this long to finish; then every client gives up what
// it waits for, so closing never hangs on a peer.
constexpr int kCloseGraceMs = 200;
constexpr int kClosePollMs = 5; // how often the network thread looks whether the sends are done
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
    step([this] { setUpSessions(); });
    step([this] {
        if (QFileInfo::exists(settingsPath()))
            readSettingsFile();
        else
            dialogs_.showMessage(kFirewallHint);
    });
    step([this] { SendQueue.clear(); });
    step([this] { ListTradeFolder(); });
}

// Closing calls off the pauses and the timers, keeps the settings, and then ends the network
// thread: what peers provoked is dropped, sends queued before get a short grace, then every client
// gives up what it waits for and every socket closes, there. Joining that thread is the one wait.
void TForm1::FormClose() {
    VORLAX_ON_THREAD_OF(this);
    if (closing_)
        return;
    closing_ = true;
    withdrawThisCopy();
    uploadPauses_.close();
    Timer3->stop();
    Timer1->stop();
    Timer2->stop();
    guarded([this] { writeSettingsFile(); });
    // The bar ends as Disconnect and going offline leave it; their sockets close with the network
    // thread.
    agreement.clear();
    if (disconnectOffered_) {
        setConnectedPeer(0);
        setLinkState(LinkState::Disconnecting);
        finishDisconnect();
    }
    if (onlineToggled_) {
        setLinkState(LinkState::GoingOffline);
        finishGoingOffline();
    }
    PlotQueue.clear();
    PeerList.clear();
    closeNetwork();
    setLinkState(LinkState::Closing);
    closed_ = true;
}

void TForm1::closeNetwork() {
    struct Provoked {
        LineClient* client;
        std::vector<int> kinds;
    };
    const std::vector<Provoked> clients = {
        {ChatClient->onNetwork(), {kChatAnswer}},
        {TradeClient->onNetwork(), {kNextFileRequest, kTradeAnswer, kListing}},
        {Plot_Client->onNetwork(), {}}};
    NetworkThread* network = network_.get();
    network->stop([network, clients] {
        for (const Provoked& p : clients) {
            for (int kind : p.kinds)
                p.client->dropQueued(kind);
            // A chat line typed just before still goes out to a peer that takes it.
            p.client->hurry(kCloseGraceMs);
        }
        auto* grace = new QTimer(clients.front().client);
        grace->setInterval(kClosePollMs);
        QElapsedTimer waited;
        waited.start();
        QObject::connect(grace, &QTimer::timeout, grace, [network, clients, grace, waited] {
            const bool idle = std::all_of(clients.begin(), clients.end(),
                                          [](const Provoked& p) { return p.client->idle(); });
            if (!idle && waited.elapsed() < kCloseGraceMs)
                return;
            grace->stop();
            for (const Provoked& p : clients)
                p.client->cancel();
            network->finish();
        });
        grace->start();
    });
    // What the network thread sent and the window has not taken yet stays untaken.
    windowMail_.shut();
    for (TTcpServer* server : {ChatServer.get(), TradeServer.get(), Plot_Server.get()})
        server->networkEnded();
    for (TTcpClient* client : {ChatClient.get(), TradeClient.get(), Plot_Client.get()})
        client->networkEnded();
    DownloadServer->networkEnded();
    DownloadClient->Close();
}
