// Going online and offline, Connect and Disconnect, and the peer address book.
//
// Each handler keeps its steps in order. The steps that may block on the network (connection
// attempts, closing endpoints another thread may be sending on) run on the connection worker, one
// handler at a time, while the connection bar is held disabled; the steps that touch controls hop
// back onto the GUI thread. At window close the same steps run straight through on the GUI thread.

#include "app/MainForm.h"

#include "common/GuiThread.h"
#include "common/ProgramError.h"
#include "net/PeerList.h"

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
constexpr int kFirstUnprivilegedPort = 1024;
} // namespace

void TForm1::runAttempt(std::function<void()> networkSteps) {
    if (closing_) {
        networkSteps();
        return;
    }
    attemptRunning_ = true;
    Panel5->setEnabled(false);
    netWorker_->post([this, steps = std::move(networkSteps)] {
        const QString failure = failureOf(steps);
        runOn(this, [this, failure] {
            attemptRunning_ = false;
            Panel5->setEnabled(true);
            if (!failure.isEmpty())
                reportError(failure);
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
    runAttempt([this] {
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
        });
    });
}

// Linux lets only privileged programs listen below port 1024, and a port may be taken by another
// program: the user is told in the chat log, so nobody believes this copy reachable when it is not.
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
    for (const Listener& l : listeners) {
        if (l.listening)
            continue;
        appendChatLog(QStringLiteral("%1 server cannot listen on port %2: %3")
                          .arg(QLatin1String(l.channel), l.port, l.reason));
        const std::optional<int32_t> port = parseInt32(l.port);
        privileged =
            privileged || (port && *port > 0 && *port < kFirstUnprivilegedPort && ::geteuid() != 0);
    }
    if (privileged)
        appendChatLog(QStringLiteral("Ports below %1 need administrator rights here: choose higher "
                                     "ports on the Options page while offline.")
                          .arg(kFirstUnprivilegedPort));
}

void TForm1::goOffline() {
    WeAccepted = false;
    PeerAccepted = false;
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
        BitBtn16->setEnabled(false);
        BitBtn17->setEnabled(true);
    }
    BitBtn20->setEnabled(false);
}

void TForm1::BitBtn17Click() {
    WeAccepted = false;
    PeerAccepted = false;
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
