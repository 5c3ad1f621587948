// Going online and offline, Connect and Disconnect, and the peer address book.
//
// Each handler keeps its steps in order. The steps that use the line-channel endpoints (connection
// attempts, port and address changes, closing endpoints another thread may be sending on) run on
// the connection worker, one handler at a time, while the connection bar is held disabled; the
// steps that touch controls hop back onto the GUI thread. So the GUI thread never waits for a
// client's message lock, which a sender holds for as long as its peer takes. At window close the
// GUI thread waits for the steps while delivering events; the clients have been cancelled by then,
// so nothing they do blocks.
//
// While connected, connectedPeer holds the peer's address and the listeners take connections
// from it only.

#include "app/MainForm.h"

#include "common/GuiThread.h"
#include "common/ProgramError.h"
#include "net/PeerList.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include <vector>

#include <unistd.h>

namespace {
const QString kOffline = QStringLiteral("Offline");
const QString kOnline = QStringLiteral("Online");
constexpr int kIconRed = 0;
constexpr int kIconYellow = 1;
constexpr int kIconGreen = 2;
constexpr int kFirstUnprivilegedPort = 1024;
} // namespace

void TForm1::runAttempt(std::function<void()> networkSteps) {
    if (closing_) {
        QString failure;
        netWorker_->post([&failure, &networkSteps] { failure = failureOf(networkSteps); });
        netWorker_->waitIdle();
        if (!failure.isEmpty())
            reportError(failure);
        return;
    }
    attemptRunning_ = true;
    Panel5->setEnabled(false);
    netWorker_->post([this, steps = std::move(networkSteps)] {
        const QString failure = failureOf(steps);
        runOn(this, [this, failure] {
            attemptRunning_ = false;
            Panel5->setEnabled(true);
            // A plot client connected by this step sends the records that waited for it.
            wakePlotPump();
            if (!failure.isEmpty())
                reportError(failure);
            emit attemptFinished();
        });
    });
}

void TForm1::BitBtn18Click() {
    if (BitBtn18->text() == kOffline)
        goOnline();
    else
        goOffline();
}

void TForm1::goOnline() {
    WeAccepted = false;
    PeerAccepted = false;
    BitBtn18->setText(kOnline);
    // The line-channel ports are given on the connection worker, in their order; a field that is
    // not an integer still ends going online at its own step, after the ports before it were given.
    std::vector<std::function<void()>> portSteps;
    try {
        Timer1->setInterval(toInt32OrThrow(Edit9->text()));
        portSteps.push_back([this, client = Edit7->text(), server = Edit6->text()] {
            ChatClient->setLocalPort(client);
            ChatServer->setLocalPort(server);
        });
        DownloadClient->setPort(toInt32OrThrow(Edit14->text()));
        DownloadServer->setPort(toInt32OrThrow(Edit8->text()));
        portSteps.push_back([this, tradeClient = Edit11->text(), tradeServer = Edit10->text(),
                             plotClient = Edit18->text(), plotServer = Edit15->text(),
                             chatRemote = Edit13->text(), tradeRemote = Edit17->text(),
                             plotRemote = Edit19->text()] {
            TradeClient->setLocalPort(tradeClient);
            TradeServer->setLocalPort(tradeServer);
            Plot_Client->setLocalPort(plotClient);
            Plot_Server->setLocalPort(plotServer);
            ChatClient->setRemotePort(chatRemote);
            TradeClient->setRemotePort(tradeRemote);
            Plot_Client->setRemotePort(plotRemote);
        });
    } catch (...) {
        netWorker_->post([portSteps] {
            for (const auto& step : portSteps)
                step();
        });
        throw;
    }
    runAttempt([this, portSteps] {
        for (const auto& step : portSteps)
            step();
        auto activate = [](TTcpClient& client) {
            auto lock = client.lockMessage();
            client.setActive(true);
        };
        activate(*ChatClient);
        ChatServer->setActive(true);
        runOn(this, [this] { DownloadServer->setActive(true); });
        activate(*TradeClient);
        TradeServer->setActive(true);
        activate(*Plot_Client);
        Plot_Server->setActive(true);
        ChatServer->Open();
        runOn(this, [this] { DownloadServer->Open(); });
        TradeServer->Open();
        Plot_Server->Open();
        runOn(this, [this] {
            showStatusIcon(kIconYellow);
            BitBtn17->setEnabled(false);
            BitBtn20->setEnabled(false);
            BitBtn16->setEnabled(true);
            reportListenFailures();
            publishThisCopy();
        });
    });
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
    // The package grants the installed program this right; a copy built from source (or one on a
    // file system that cannot carry the right) needs it given by hand, again after each build.
    if (privileged)
        appendChatLog(
            QStringLiteral("Ports below %1 need a privilege here. Either choose ports above %2 on "
                           "the Options page while offline (both sides), or give this program the "
                           "right to open them: sudo setcap cap_net_bind_service=+ep '%3'")
                .arg(kFirstUnprivilegedPort)
                .arg(kFirstUnprivilegedPort - 1)
                .arg(QCoreApplication::applicationFilePath()));
}

void TForm1::goOffline() {
    WeAccepted = false;
    PeerAccepted = false;
    connectedPeer = 0;
    withdrawThisCopy();
    BitBtn18->setText(kOffline);
    runAttempt([this] {
        ChatServer->Close();
        runOn(this, [this] { DownloadServer->Close(); });
        TradeServer->Close();
        Plot_Server->Close();
        auto deactivate = [](TTcpClient& client) {
            auto lock = client.lockMessage();
            client.setActive(false);
        };
        deactivate(*ChatClient);
        ChatServer->setActive(false);
        runOn(this, [this] {
            DownloadServer->setActive(false);
            DownloadClient->setActive(false);
        });
        deactivate(*TradeClient);
        TradeServer->setActive(false);
        deactivate(*Plot_Client);
        Plot_Server->setActive(false);
        runOn(this, [this] {
            showStatusIcon(kIconRed);
            BitBtn17->setEnabled(false);
            BitBtn20->setEnabled(false);
            BitBtn16->setEnabled(false);
        });
    });
}

void TForm1::rememberPeer(const QString& address) {
    if (peerListContains(PeerList, address))
        return;
    PeerList.append(address);
    ListBox1->clear();
    ListBox1->addItems(PeerList);
    savePeerList(peerListPath(), PeerList);
}

void TForm1::BitBtn16Click() {
    PlotPumpBusy = false;
    const QString address = Edit2->text();
    rememberPeer(address);
    checkPortsAfterConnect(address);
    WeAccepted = false;
    PeerAccepted = false;
    runAttempt([this, address] {
        auto connectOnce = [](TTcpClient& client) {
            auto lock = client.lockMessage();
            return client.Connect();
        };
        auto aim = [&address](TTcpClient& client) {
            auto lock = client.lockMessage();
            client.setRemoteHost(address);
        };
        aim(*ChatClient);
        runOn(this, [this, address] { DownloadClient->setHost(address); });
        aim(*TradeClient);
        aim(*Plot_Client);
        connectOnce(*ChatClient);
        runOn(this, [this] { DownloadClient->Open(); });
        connectOnce(*TradeClient);
        connectOnce(*Plot_Client);
        const bool chat = connectOnce(*ChatClient);
        const bool trade = connectOnce(*TradeClient);
        const bool plot = connectOnce(*Plot_Client);
        const bool success = chat && trade && plot;
        connectedPeer = success ? ChatClient->RemoteAddress() : 0;
        if (success) {
            runOn(this, [this] { showStatusIcon(kIconGreen); });
            SendFileList();
        }
        runOn(this, [this, success] { finishConnect(success); });
        if (!success) {
            for (TTcpClient* client : {ChatClient.get(), TradeClient.get()}) {
                auto lock = client->lockMessage();
                client->Disconnect();
            }
            runOn(this, [this] { DownloadClient->Close(); });
        }
        runOn(this, [this] {
            PlotQueue.clear();
            ++plotQueueGeneration_;
        });
    });
}

void TForm1::finishConnect(bool success) {
    if (success) {
        closeSideDoors(connectedPeer);
        BitBtn16->setEnabled(false);
        BitBtn17->setEnabled(true);
    }
    BitBtn20->setEnabled(false);
}

void TForm1::BitBtn17Click() {
    WeAccepted = false;
    PeerAccepted = false;
    connectedPeer = 0;
    runAttempt([this] {
        for (TTcpClient* client : {ChatClient.get(), TradeClient.get()}) {
            auto lock = client->lockMessage();
            client->Disconnect();
        }
        runOn(this, [this] { DownloadClient->Close(); });
        Plot_Server->Close();
        runOn(this, [this] {
            showStatusIcon(kIconYellow);
            BitBtn17->setEnabled(false);
            BitBtn20->setEnabled(false);
            BitBtn16->setEnabled(true);
        });
    });
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
