// Going online and offline, Connect and Disconnect, and the peer address book.
//
// Each handler keeps its steps in order: what it does to controls and flags here on the GUI thread,
// then its pieces of work on the endpoints, each queued on the network thread and ending back here
// with its outcome, which the next piece takes up. Nothing waits: the connection bar is held
// disabled while an attempt runs, so one handler runs at a time.
//
// A user's action never waits behind what a peer provoked: Connect, Disconnect and going offline
// first drop the provoked messages still queued and hurry the sends under way.
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

void TForm1::runAttempt(std::vector<AttemptPiece> pieces) {
    VORLAX_ON_THREAD_OF(this);
    runAttemptPiece(std::make_shared<std::vector<AttemptPiece>>(std::move(pieces)), 0);
}

void TForm1::runAttemptPiece(std::shared_ptr<std::vector<AttemptPiece>> pieces, size_t at) {
    if (closing_)
        return;
    if (at == pieces->size()) {
        endAttempt();
        return;
    }
    const QString failure =
        failureOf([&] { (*pieces)[at]([this, pieces, at] { runAttemptPiece(pieces, at + 1); }); });
    if (failure.isEmpty())
        return;
    reportError(failure);
    endAttempt();
}

// An attempt has ended, with its own outcome or with an error that changes nothing the bar shows.
void TForm1::endAttempt() {
    if (attemptRunning())
        setLinkState(settledBefore_, StepEnd::Failed);
    // A plot client connected by this step sends the records that waited for it.
    wakePlotPump();
    emit attemptFinished();
}

void TForm1::cancelProvokedWork() {
    for (int kind : {kTradeAnswer, kListing, kNextFileRequest})
        TradeClient->dropQueued(kind);
    ChatClient->dropQueued(kChatAnswer);
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

void TForm1::goOnline() {
    agreement.clear();
    setLinkState(LinkState::GoingOnline);
    // The endpoints take their ports and open in their order; a field that is not an integer ends
    // going online at its own step, after the endpoints before it did theirs.
    auto client = [](TTcpClient* c) -> AttemptPiece {
        return [c](const std::function<void()>& next) { c->setActive(true, next); };
    };
    auto server = [](TTcpServer* s, bool reopen) -> AttemptPiece {
        return [s, reopen](const std::function<void()>& next) {
            reopen ? s->Open(next) : s->setActive(true, next);
        };
    };
    std::vector<AttemptPiece> pieces;
    pieces.push_back([this](const std::function<void()>& next) {
        Timer1->setInterval(toInt32OrThrow(Edit9->text()));
        ChatClient->setLocalPort(Edit7->text());
        ChatServer->setLocalPort(Edit6->text());
        DownloadClient->setPort(toInt32OrThrow(Edit14->text()));
        DownloadServer->setPort(toInt32OrThrow(Edit8->text()));
        TradeClient->setLocalPort(Edit11->text());
        TradeServer->setLocalPort(Edit10->text());
        Plot_Client->setLocalPort(Edit18->text());
        Plot_Server->setLocalPort(Edit15->text());
        ChatClient->setRemotePort(Edit13->text());
        TradeClient->setRemotePort(Edit17->text());
        Plot_Client->setRemotePort(Edit19->text());
        next();
    });
    pieces.push_back(client(ChatClient.get()));
    pieces.push_back(server(ChatServer.get(), false));
    // The download listener opens at its turn among the line listeners: after the chat
    // listener, and once more in the second round.
    pieces.push_back([this](const std::function<void()>& next) {
        DownloadServer->setActive(true);
        next();
    });
    pieces.push_back(client(TradeClient.get()));
    pieces.push_back(server(TradeServer.get(), false));
    pieces.push_back(client(Plot_Client.get()));
    pieces.push_back(server(Plot_Server.get(), false));
    pieces.push_back(server(ChatServer.get(), true));
    pieces.push_back(server(TradeServer.get(), true));
    pieces.push_back(server(Plot_Server.get(), true));
    pieces.push_back([this](const std::function<void()>& next) {
        DownloadServer->Open();
        next();
    });
    pieces.push_back([this](const std::function<void()>& next) {
        finishGoingOnline();
        next();
    });
    runAttempt(std::move(pieces));
}

// Going online has come to its end: what could not listen is told.
void TForm1::finishGoingOnline() {
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
    setConnectedPeer(0);
    endSessions();
    resetAskedFiles({});
    setLinkState(LinkState::GoingOffline);
    std::vector<AttemptPiece> pieces;
    for (TTcpServer* server : {ChatServer.get(), TradeServer.get(), Plot_Server.get()})
        pieces.push_back([server](const std::function<void()>& next) { server->Close(next); });
    for (TTcpClient* client : {ChatClient.get(), TradeClient.get(), Plot_Client.get()})
        pieces.push_back(
            [client](const std::function<void()>& next) { client->setActive(false, next); });
    pieces.push_back([this](const std::function<void()>& next) {
        finishGoingOffline();
        next();
    });
    runAttempt(std::move(pieces));
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
    if (portsKnownNotToMeet(address) || !beginSessions(address))
        return;
    rememberPeer(address);
    cancelProvokedWork();
    agreement.clear();
    resetAskedFiles({});
    setLinkState(LinkState::Connecting);
    auto result = std::make_shared<ConnectResult>();
    result->address = address;
    auto connect = [](TTcpClient* client, bool* answered = nullptr) -> AttemptPiece {
        return [client, answered](const std::function<void()>& next) {
            client->Connect([answered, next](bool connected) {
                if (answered)
                    *answered = connected;
                next();
            });
        };
    };
    std::vector<AttemptPiece> pieces;
    pieces.push_back([this, address](const std::function<void()>& next) {
        ChatClient->setRemoteHost(address);
        TradeClient->setRemoteHost(address);
        Plot_Client->setRemoteHost(address);
        next();
    });
    pieces.push_back(connect(ChatClient.get()));
    pieces.push_back([this, address](const std::function<void()>& next) {
        DownloadClient->setHost(address);
        DownloadClient->Open();
        next();
    });
    pieces.push_back(connect(TradeClient.get()));
    pieces.push_back(connect(Plot_Client.get()));
    pieces.push_back(connect(ChatClient.get(), &result->chat));
    pieces.push_back(connect(TradeClient.get(), &result->trade));
    pieces.push_back(connect(Plot_Client.get(), &result->plot));
    pieces.push_back([this, result](const std::function<void()>& next) {
        const struct {
            const char* channel;
            bool answered;
            const TTcpClient* client;
        } answers[] = {{"chat", result->chat, ChatClient.get()},
                       {"trade", result->trade, TradeClient.get()},
                       {"plot", result->plot, Plot_Client.get()}};
        for (const auto& a : answers)
            if (!a.answered)
                result->silent << QStringLiteral("%1 port %2")
                                      .arg(QLatin1String(a.channel), a.client->RemotePort());
        if (result->success()) {
            result->peer = ChatClient->RemoteAddress();
            result->self = ChatClient->LocalAddress();
            next();
            return;
        }
        ChatClient->Disconnect();
        TradeClient->Disconnect(next);
    });
    pieces.push_back([this, result](const std::function<void()>& next) {
        finishConnect(*result);
        next();
    });
    runAttempt(std::move(pieces));
}

void TForm1::finishConnect(const ConnectResult& result) {
    VORLAX_ON_THREAD_OF(this);
    setConnectedPeer(result.success() ? result.peer : 0);
    connectedSelf_ = result.success() ? result.self : 0;
    settleSessions(result.success());
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
    setConnectedPeer(0);
    endSessions();
    resetAskedFiles({});
    setLinkState(LinkState::Disconnecting);
    runAttempt({[this](const std::function<void()>& next) {
                    ChatClient->Disconnect();
                    TradeClient->Disconnect();
                    Plot_Server->Close(next);
                },
                [this](const std::function<void()>& next) {
                    finishDisconnect();
                    next();
                }});
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
