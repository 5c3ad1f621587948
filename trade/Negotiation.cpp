// The trade negotiation: each copy offers its trade folder to the peer, asks for the files it
// ticked in the peer's listing, and both users agree with "Start download". Every message is one
// connection of the trade client; the listener's side applies each message as one step on the GUI
// thread, in the order their connections were accepted.
//
// "§§§-SendFileList-§§§" is followed by three lines per offered file: name, type, size. An empty
// line would end the message early, so an empty type (a name without a dot) travels as one space
// and is read back as empty.

#include "app/MainForm.h"

#include "common/AnsiText.h"
#include "common/GuiThread.h"
#include "common/ProgramError.h"
#include "trade/TradeFolder.h"
#include "trade/TradeRules.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>

#include <functional>

namespace {
constexpr int kNameBytesRole = Qt::UserRole; // the name as the bytes that travel
constexpr int kCaptionColumn = 0;
constexpr int kTypeColumn = 1;
constexpr int kSizeColumn = 2;
const QString kAcceptTrade = QStringLiteral("Accept Trade");
const QString kTransfersFinished = QStringLiteral("Upload/Download has been finished");
const QString kLastSentCaption = QStringLiteral("Quil-Connect-Ready");
const QString kAllDoneCaption = QStringLiteral("Quil.Connect-Ready");

QList<QByteArray> readDataLines(TCustomIpClient* client) {
    QList<QByteArray> lines;
    for (QByteArray line = client->ReceiveLine(); !line.isEmpty(); line = client->ReceiveLine())
        lines << line;
    return lines;
}

QList<SummaryRow> summaryRows(const QTreeWidget* list) {
    QList<SummaryRow> rows;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = list->topLevelItem(i);
        rows.append({item->checkState(kCaptionColumn) == Qt::Checked, item->text(kSizeColumn)});
    }
    return rows;
}

// Sorts a file list by a column; a size that is not an integer raises the conversion error
// before the list changes.
void sortList(QTreeWidget* list, int column) {
    QList<QStringList> rows;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = list->topLevelItem(i);
        rows.append({item->text(kCaptionColumn), item->text(kTypeColumn), item->text(kSizeColumn)});
    }
    const QList<int> order = tradeSortOrder(rows, column);
    QList<QTreeWidgetItem*> items;
    while (list->topLevelItemCount() > 0)
        items << list->takeTopLevelItem(0);
    QList<QTreeWidgetItem*> sorted;
    for (int index : order)
        sorted << items[index];
    list->addTopLevelItems(sorted);
}

// One message on a client as one unit: its lines while the client is connected, then the
// reconnect that leaves the next message an open channel.
void sendMessage(TTcpClient& client, const QList<QByteArray>& lines) {
    auto lock = client.lockMessage();
    for (const QByteArray& line : lines)
        if (client.Connected())
            client.SendLine(line);
    client.Disconnect();
    client.Connect();
}

// The same, sent only when the client is connected at its turn: otherwise nothing happens.
void sendMessageIfConnected(TTcpClient& client, const QList<QByteArray>& lines) {
    auto lock = client.lockMessage();
    if (client.Connected())
        sendMessage(client, lines);
}

// Sends run on the connection worker, so a slow or vanished peer never stalls the window; they
// keep the order of the clicks. While one is on its way its reconnect is not done yet and the
// client reads as not connected, so `pending` counts them: a message queued behind them is sent
// if the reconnect succeeds. An error shows in the error box.
void postSend(TForm1* form, SerialWorker& worker, int& pending, std::function<void()> send) {
    ++pending;
    worker.post([form, &pending, send = std::move(send)] {
        const QString failure = failureOf(send);
        postTo(form, [form, &pending, failure] {
            --pending;
            if (!failure.isEmpty())
                form->reportError(failure);
        });
    });
}
} // namespace

void TForm1::ListTradeFolder() {
    ListView2->clear();
    for (const TradeFileEntry& entry : listTradeFolder(Edit4->text())) {
        auto* item = new QTreeWidgetItem(ListView2, {entry.name, entry.type, entry.size});
        item->setCheckState(kCaptionColumn, Qt::Unchecked);
        item->setData(kCaptionColumn, kNameBytesRole, ansi::encode(entry.name));
    }
}

void TForm1::SendFileList() {
    QList<QByteArray> lines;
    runOn(this, [&] {
        for (int i = 0; i < ListView2->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* item = ListView2->topLevelItem(i);
            lines << item->data(kCaptionColumn, kNameBytesRole).toByteArray()
                  << fieldToWire(item->text(kTypeColumn)) << fieldToWire(item->text(kSizeColumn));
        }
    });
    auto lock = TradeClient->lockMessage();
    if (TradeClient->Connected())
        TradeClient->SendLine(sendFileListLine());
    for (const QByteArray& line : std::as_const(lines))
        if (TradeClient->Connected())
            TradeClient->SendLine(line);
    TradeClient->Disconnect();
    TradeClient->Connect();
}

void TForm1::AskForTrade() {
    QList<QByteArray> lines{askForTradeLine()};
    for (int i = 0; i < ListView1->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = ListView1->topLevelItem(i);
        if (item->checkState(kCaptionColumn) == Qt::Checked)
            lines << item->data(kCaptionColumn, kNameBytesRole).toByteArray();
    }
    postSend(this, *netWorker_, tradeSendsPending_,
             [this, lines] { sendMessage(*TradeClient, lines); });
}

QString TForm1::TradeSummary() const {
    return tradeSummary(summaryRows(ListView1), summaryRows(ListView2));
}

void TForm1::BitBtn19Click() {
    BitBtn20->setEnabled(true);
    WeAccepted = false;
    PeerAccepted = false;
    AskForTrade();
    StatusBar1->showMessage(TradeSummary());
}

void TForm1::BitBtn20Click() {
    if (TradeClient->Connected() || tradeSendsPending_ > 0) {
        postSend(this, *netWorker_, tradeSendsPending_,
                 [this] { sendMessageIfConnected(*TradeClient, {acceptTheTradeLine()}); });
        WeAccepted = true;
    }
    if (ChatClient->Connected() || chatSendsPending_ > 0) {
        const QString line = QStringLiteral("<%1>: %2").arg(Edit5->text(), kAcceptTrade);
        Memo1->appendPlainText(line);
        postSend(this, *netWorker_, chatSendsPending_,
                 [this, line] { sendMessageIfConnected(*ChatClient, {ansi::encode(line)}); });
        Edit3->clear();
    }
    if (WeAccepted && PeerAccepted)
        UploadNextFile();
}

void TForm1::TradeServerAccept(TTcpServer*, TCustomIpClient* client) {
    MessageTurns::Turn turn(tradeTurns_, client->acceptIndex());
    const TradeMessage message = tradeMessageOf(client->ReceiveLine());
    if (message == TradeMessage::Unknown)
        return;
    turn.begin();
    const QList<QByteArray> lines =
        carriesDataLines(message) ? readDataLines(client) : QList<QByteArray>();
    turn.wait();
    bool queueEmpty = false;
    runOn(this, [&] {
        switch (message) {
        case TradeMessage::LastFileSended:
        case TradeMessage::SendNextFile:
            queueEmpty = SendQueue.isEmpty();
            if (!queueEmpty) {
                UploadNextFile();
            } else if (message == TradeMessage::SendNextFile) {
                setWindowTitle(kLastSentCaption);
            } else {
                setWindowTitle(kAllDoneCaption);
                Memo1->appendPlainText(kTransfersFinished);
            }
            break;
        case TradeMessage::SendFileList:
            ListView1->clear();
            for (const ListedFile& file : listedFiles(lines)) {
                auto* item =
                    new QTreeWidgetItem(ListView1, {ansi::decode(file.name), file.type, file.size});
                item->setCheckState(kCaptionColumn, Qt::Unchecked);
                item->setData(kCaptionColumn, kNameBytesRole, file.name);
            }
            break;
        case TradeMessage::AskForTrade:
            SendQueue.clear();
            for (const QByteArray& name : lines)
                for (int i = 0; i < ListView2->topLevelItemCount(); ++i) {
                    QTreeWidgetItem* item = ListView2->topLevelItem(i);
                    if (item->data(kCaptionColumn, kNameBytesRole).toByteArray() == name)
                        item->setCheckState(kCaptionColumn, Qt::Checked);
                }
            SendQueue = lines;
            StatusBar1->showMessage(TradeSummary());
            break;
        case TradeMessage::AcceptTheTrade:
            PeerAccepted = true;
            break;
        case TradeMessage::Unknown:
            break;
        }
    });
    turn.done();
    // The answers go out on this worker, after the step, so the window never waits on them.
    if (queueEmpty && message == TradeMessage::SendNextFile)
        sendMessage(*TradeClient, {lastFileSendedLine()});
    if (queueEmpty && message == TradeMessage::LastFileSended)
        sendMessage(*ChatClient, {ansi::encode(kTransfersFinished)});
}

void TForm1::ListView1ColumnClick(int column) {
    RemoteSortColumn = column;
    sortList(ListView1, column);
}

void TForm1::ListView2ColumnClick(int column) {
    LocalSortColumn = column;
    sortList(ListView2, column);
}
