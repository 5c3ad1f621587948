// Going online and offline, Connect and Disconnect, and the peer address book.
//
// Each handler keeps its steps in order, in three parts: what it does to controls and flags on the
// GUI thread; one step on the connection worker that uses the line-channel endpoints (connection
// attempts, port and address changes, closing endpoints another thread may be sending on) and
// returns what it found as a plain value; and one continuation that applies that value on the GUI
// thread. The worker never waits for the GUI thread, and the GUI thread never waits for the worker:
// the connection bar is held disabled while a step runs, so one handler runs at a time. Closing
// is the one exception: the clients have been cancelled by then, so the steps cannot block, and
// the window waits for them plainly and applies their results itself.
//
// A user's action never waits behind what a peer provoked: Connect, Disconnect and going offline
// first drop the provoked work still queued and hurry the sends under way.
//
// While connected, connectedPeer holds the peer's address and the listeners take connections
// from it only.
//
// The link's state (net/LinkState.h) changes in setLinkState alone, which shows it: the toggle's
// caption, the buttons, the status icon, the announcement. Nothing reads it back from a widget.

#include "app/MainForm.h"

#include "common/GuiThread.h"
#include "common/ProgramError.h"
#include "common/DisplayText.h"
#include "net/BindHelper.h"
#include "net/PeerList.h"
#include "trade/TradeFolder.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include <unistd.h>

namespace {
const QString kOffline = QStringLiteral("Offline");
const QString kOnline = QStringLiteral("Online");
constexpr int kIconRed = 0;
constexpr int kIconYellow = 1;
constexpr int kIconGreen = 2;
// How long sends queued before a user's connection action keep their chance: a chat line typed
// just before Disconnect still goes out to a peer that takes it, one held up by a peer gives up.
constexpr int kUserActionGraceMs = 200;
} // namespace

void TForm1::runAttempt(AttemptStep step) {
    VORLAX_ON_THREAD_OF(this);
    stepOnWorker_ = true;
    netWorker_->post([this, step = std::move(step)] {
        std::function<void()> apply;
        const QString failure = failureOf([&] { apply = step(); });
        {
            std::lock_guard lock(attemptMutex_);
            attemptResult_ = [this, apply, failure] {
                if (apply)
                    apply();
                if (!failure.isEmpty())
                    reportError(failure);
            };
        }
        postTo(this, [this] { applyAttempt(); });
    });
    // Closing delivers no events: the clients are cancelled, so the step ends at once, and its
    // result is applied here.
    if (closing_) {
        netWorker_->waitIdle();
        applyAttempt();
    }
}

// The continuation of the step that ended, if it has not been applied yet.
void TForm1::applyAttempt() {
    VORLAX_ON_THREAD_OF(this);
    std::function<void()> apply;
    {
        std::lock_guard lock(attemptMutex_);
        apply = std::exchange(attemptResult_, nullptr);
    }
    if (!apply)
        return;
    stepOnWorker_ = false;
    guarded(apply);
    if (stepOnWorker_)
        return; // the continuation began the handler's next step
    // An error ended the step before its continuation settled it.
    if (attemptRunning())
        setLinkState(settledBefore_, StepEnd::Failed);
    // A plot client connected by this step sends the records that waited for it.
    wakePlotPump();
    emit attemptFinished();
}

void TForm1::cancelProvokedWork() {
    agreement.sendsEnded(netWorker_->cancel(kTradeAnswer) + netWorker_->cancel(kListing));
    netWorker_->cancel(kNextFileRequest);
    netWorker_->cancel(kChatAnswer);
    agreement.forgetOwedUpload();
    uploadPauses_.callOff();
    for (TTcpClient* client : {ChatClient.get(), TradeClient.get(), Plot_Client.get()})
        client->hurry(kUserActionGraceMs);
}

void TForm1::BitBtn18Click() {
    VORLAX_ON_THREAD_OF(this);
    if (!onlineToggled_)
        goOnline();
    else
        goOffline();
}

namespace {
// The port texts of the line channels, as going online gives them, in their order.
struct LinePorts {
    QString chatClient, chatServer, tradeClient, tradeServer, plotClient, plotServer;
    QString chatRemote, tradeRemote, plotRemote;
};
} // namespace

void TForm1::goOnline() {
    agreement.clear();
    setLinkState(LinkState::GoingOnline);
    // The line-channel ports are given on the connection worker, in their order; a field that is
    // not an integer still ends going online at its own step, after the ports before it were given.
    LinePorts ports;
    int portsGiven = 0; // 0: none; 1: the chat pair; 2: all
    auto givePorts = [this](const LinePorts& p, int given) {
        if (given >= 1) {
            ChatClient->setLocalPort(p.chatClient);
            ChatServer->setLocalPort(p.chatServer);
        }
        if (given >= 2) {
            TradeClient->setLocalPort(p.tradeClient);
            TradeServer->setLocalPort(p.tradeServer);
            Plot_Client->setLocalPort(p.plotClient);
            Plot_Server->setLocalPort(p.plotServer);
            ChatClient->setRemotePort(p.chatRemote);
            TradeClient->setRemotePort(p.tradeRemote);
            Plot_Client->setRemotePort(p.plotRemote);
        }
    };
    try {
        Timer1->setInterval(toInt32OrThrow(Edit9->text()));
        ports.chatClient = Edit7->text();
        ports.chatServer = Edit6->text();
        portsGiven = 1;
        DownloadClient->setPort(toInt32OrThrow(Edit14->text()));
        DownloadServer->setPort(toInt32OrThrow(Edit8->text()));
        ports = {Edit7->text(),  Edit6->text(),  Edit11->text(), Edit10->text(), Edit18->text(),
                 Edit15->text(), Edit13->text(), Edit17->text(), Edit19->text()};
        portsGiven = 2;
    } catch (...) {
        netWorker_->post([givePorts, ports, portsGiven] { givePorts(ports, portsGiven); });
        setLinkState(settledBefore_, StepEnd::Failed);
        throw;
    }
    runAttempt([this, givePorts, ports] {
        givePorts(ports, 2);
        OnlineResult result;
        result.failure = failureOf([&] {
            ChatClient->setActive(true);
            ChatServer->setActive(true);
            result.chatServerActive = true;
            TradeClient->setActive(true);
            TradeServer->setActive(true);
            Plot_Client->setActive(true);
            Plot_Server->setActive(true);
            ChatServer->Open();
            TradeServer->Open();
            Plot_Server->Open();
            result.reopened = true;
        });
        return [this, result] { finishGoingOnline(result); };
    });
}

// The download listener opens at its turn among the line listeners: after the chat listener, and
// once more in the second round. An error of a later endpoint's port is told, and the icon and
// buttons stay as they were.
void TForm1::finishGoingOnline(const OnlineResult& result) {
    if (result.chatServerActive)
        DownloadServer->setActive(true);
    if (result.reopened)
        DownloadServer->Open();
    if (!result.failure.isEmpty())
        throw ProgramError(result.failure);
    reportListenFailures();
    warnAboutOpenFolders();
    setLinkState(LinkState::Online);
}

// Another user who may write the trade folder can put files in it that this copy then offers;
// one who may write the save folder can swap what arrives. Both are worth knowing.
void TForm1::warnAboutOpenFolders() {
    const std::pair<const char*, QString> folders[] = {{"trade", Edit4->text()},
                                                       {"save", Edit1->text()}};
    for (const auto& [role, folder] : folders) {
        if (othersMayWrite(folder))
            appendChatLog(QStringLiteral("Warning: other users may write the %1 folder %2")
                              .arg(QLatin1String(role), shownText(folder)));
    }
}
// Linux lets only privileged programs listen below port 1024, and a port may be taken by another
// program: the user is told once in the chat log, and the status ball's text keeps saying it until
// the next going online, so nobody believes this copy reachable when it is not.
void TForm1::reportListenFailures() {
    struct Listener {
        const char* channel;
        bool listening;
        QString port;
        QString reason;
    };
    const Listener listeners[] = {
        {"Chat", ChatServer->Listening(), ChatServer->LocalPort(), ChatServer->lastError()},
        {"Download", DownloadServer->Listening(), QString::number(DownloadServer->Port()),
         DownloadServer->lastError()},
        {"Trade", TradeServer->Listening(), TradeServer->LocalPort(), TradeServer->lastError()},
        {"Plot", Plot_Server->Listening(), Plot_Server->LocalPort(), Plot_Server->lastError()}};
    bool privileged = false;
    portsNotListening.clear();
    for (const Listener& l : listeners) {
        if (l.listening)
            continue;
        appendChatLog(QStringLiteral("%1 server cannot listen on port %2: %3")
                          .arg(QLatin1String(l.channel), l.port, l.reason));
        portsNotListening << QStringLiteral("%1 port %2").arg(QLatin1String(l.channel), l.port);
        const std::optional<int32_t> port = parseInt32(l.port);
        privileged =
            privileged || (port && *port > 0 && *port < kFirstUnprivilegedPort && ::geteuid() != 0);
    }
    showStatusIcon(statusIconIndex);
    // The program never holds this right itself: the helper vorlax-bind opens the default ports
    // for it. The package grants the helper the right; a helper built from source (or one on a
    // file system that cannot carry the right) needs it given by hand, again after each build.
    if (privileged)
        appendChatLog(
            QStringLiteral("Ports below %1 need a privilege here. Either choose ports above %2 on "
                           "the Options page while offline (both sides), or, for the default "
                           "ports, give their helper the right to open them: sudo setcap "
                           "cap_net_bind_service=+ep '%3'")
                .arg(kFirstUnprivilegedPort)
                .arg(kFirstUnprivilegedPort - 1)
                .arg(bindHelperPath()));
}

void TForm1::goOffline() {
    cancelProvokedWork();
    agreement.clear();
    connectedPeer = 0;
    askedFiles.reset({});
    setLinkState(LinkState::GoingOffline);
    runAttempt([this] {
        ChatServer->Close();
        TradeServer->Close();
        Plot_Server->Close();
        ChatClient->setActive(false);
        ChatServer->setActive(false);
        TradeClient->setActive(false);
        TradeServer->setActive(false);
        Plot_Client->setActive(false);
        Plot_Server->setActive(false);
        return [this] { finishGoingOffline(); };
    });
}

void TForm1::finishGoingOffline() {
    DownloadServer->Close();
    DownloadServer->setActive(false);
    DownloadClient->setActive(false);
    setLinkState(LinkState::Offline);
}

void TForm1::rememberPeer(const QString& address) {
    if (peerListContains(PeerList, address))
        return;
    PeerList.append(address);
    ListBox1->clear();
    ListBox1->addItems(PeerList);
    savePeerList(peerListPath(), PeerList);
}

// Connect aims every client at the address and tries each once, the download client among them
// at its turn (it connects in the background), then asks all three line clients again.
void TForm1::BitBtn16Click() {
    VORLAX_ON_THREAD_OF(this);
    PlotPumpBusy = false;
    const QString address = Edit2->text();
    if (portsKnownNotToMeet(address))
        return;
    rememberPeer(address);
    cancelProvokedWork();
    agreement.clear();
    askedFiles.reset({});
    setLinkState(LinkState::Connecting);
    runAttempt([this, address] {
        ChatClient->setRemoteHost(address);
        TradeClient->setRemoteHost(address);
        Plot_Client->setRemoteHost(address);
        ChatClient->Connect();
        return [this, address] {
            DownloadClient->setHost(address);
            DownloadClient->Open();
            runAttempt([this, address] {
                TradeClient->Connect();
                Plot_Client->Connect();
                ConnectResult result;
                result.address = address;
                result.chat = ChatClient->Connect();
                result.trade = TradeClient->Connect();
                result.plot = Plot_Client->Connect();
                const struct {
                    const char* channel;
                    bool answered;
                    const TTcpClient* client;
                } answers[] = {{"chat", result.chat, ChatClient.get()},
                               {"trade", result.trade, TradeClient.get()},
                               {"plot", result.plot, Plot_Client.get()}};
                for (const auto& a : answers)
                    if (!a.answered)
                        result.silent << QStringLiteral("%1 port %2")
                                             .arg(QLatin1String(a.channel), a.client->RemotePort());
                if (result.success()) {
                    result.peer = ChatClient->RemoteAddress();
                    result.self = ChatClient->LocalAddress();
                } else {
                    ChatClient->Disconnect();
                    TradeClient->Disconnect();
                }
                return [this, result] { finishConnect(result); };
            });
        };
    });
}

void TForm1::finishConnect(const ConnectResult& result) {
    VORLAX_ON_THREAD_OF(this);
    connectedPeer = result.success() ? result.peer : 0;
    connectedSelf_ = result.success() ? result.self : 0;
    // A failed Connect shows only the yellow ball; the log names what did not answer.
    if (!result.silent.isEmpty())
        appendChatLog(QStringLiteral("Connect to %1 failed: no answer on %2.")
                          .arg(result.address, result.silent.join(QStringLiteral(", "))));
    if (result.success()) {
        closeSideDoors(result.peer);
        forgetStrangersTrade(result.peer);
        SendFileList();
        setLinkState(LinkState::Connected);
    } else {
        setLinkState(settledBefore_);
        DownloadClient->Close();
    }
    PlotQueue.clear();
    ++plotQueueGeneration_;
    showFoundCopies();
}

void TForm1::BitBtn17Click() {
    VORLAX_ON_THREAD_OF(this);
    cancelProvokedWork();
    agreement.clear();
    connectedPeer = 0;
    askedFiles.reset({});
    setLinkState(LinkState::Disconnecting);
    runAttempt([this] {
        ChatClient->Disconnect();
        TradeClient->Disconnect();
        Plot_Server->Close();
        return [this] { finishDisconnect(); };
    });
}

void TForm1::finishDisconnect() {
    connectedSelf_ = 0;
    showFoundCopies();
    DownloadClient->Close();
    setLinkState(LinkState::Online);
}

void TForm1::setLinkState(LinkState next, StepEnd end) {
    VORLAX_ON_THREAD_OF(this);
    const LinkState from = std::exchange(linkState_, next);
    if (isLinkStep(next) && !isLinkStep(from))
        settledBefore_ = from;
    Panel5->setEnabled(!isLinkStep(next));
    switch (next) {
    case LinkState::GoingOnline:
        onlineToggled_ = true;
        BitBtn18->setText(kOnline);
        break;
    case LinkState::GoingOffline:
        onlineToggled_ = false;
        withdrawThisCopy();
        BitBtn18->setText(kOffline);
        break;
    case LinkState::Closing: // withdrawn from the network as closing began
    case LinkState::Connecting:
    case LinkState::Disconnecting:
        break;
    case LinkState::Offline:
    case LinkState::Online:
    case LinkState::Connected:
        if (end == StepEnd::Done)
            showLinkLook(from, next);
        break;
    }
}

// What a step that ran to its end shows, each in the order the controls have always changed.
void TForm1::showLinkLook(LinkState from, LinkState next) {
    if (from == LinkState::Connecting && next != LinkState::Connected) {
        // A Connect that failed keeps the icon and the Connect and Disconnect buttons as they were.
        BitBtn20->setEnabled(false);
        return;
    }
    switch (next) {
    case LinkState::Offline:
    case LinkState::Online: {
        const bool online = next == LinkState::Online;
        showStatusIcon(online ? kIconYellow : kIconRed);
        BitBtn17->setEnabled(false);
        BitBtn20->setEnabled(false);
        BitBtn16->setEnabled(online);
        disconnectOffered_ = false;
        if (from == LinkState::GoingOnline)
            publishThisCopy();
        break;
    }
    case LinkState::Connected:
        showStatusIcon(kIconGreen);
        BitBtn16->setEnabled(false);
        BitBtn17->setEnabled(true);
        BitBtn20->setEnabled(false);
        disconnectOffered_ = true;
        break;
    default:
        break;
    }
}

void TForm1::ListBox1Click() {
    if (QListWidgetItem* item = ListBox1->currentItem())
        Edit2->setText(item->text());
}

void TForm1::Delete1Click() {
    QListWidgetItem* item = ListBox1->currentItem();
    if (!item)
        return;
    delete ListBox1->takeItem(ListBox1->row(item));
    PeerList.clear();
    for (int i = 0; i < ListBox1->count(); ++i)
        PeerList.append(ListBox1->item(i)->text());
    savePeerList(peerListPath(), PeerList);
}
