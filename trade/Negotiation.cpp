// The trade negotiation: each copy offers its trade folder to the peer, asks for the files it
// ticked in the peer's listing, and both users agree with "Start download". Every message is one
// connection of the trade client; the listener's side applies each message as one step on the GUI
// thread, in the order their connections were accepted.
//
// "§§§-SendFileList-§§§" is followed by three lines per offered file: name, type, size. An empty
// line would end the message early, so an empty type (a name without a dot) travels as one space
// and is read back as empty.
//
// Nothing a peer sends is trusted: an upload sends only a file of the listing this copy last sent,
// and only while its user has agreed; a message beyond its bounds, cut short or not read whole in
// time is dropped.

#include "app/MainForm.h"
#include "app/Notifications.h"

#include "common/AnsiText.h"
#include "common/DisplayText.h"
#include "common/GuiThread.h"
#include "common/ProgramError.h"
#include "trade/TradeFolder.h"
#include "trade/TradeRules.h"

#include <QHostAddress>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace {
constexpr int kNameBytesRole = Qt::UserRole; // the name as the bytes that travel
constexpr int kPathRole = Qt::UserRole + 1;  // the file the local item stands for
constexpr qint64 kLineEndBytes = 2;          // CR LF
constexpr int kCaptionColumn = 0;
constexpr int kTypeColumn = 1;
constexpr int kSizeColumn = 2;
const QString kAcceptTrade = QStringLiteral("Accept Trade");
const QString kTransfersFinished = QStringLiteral("Upload/Download has been finished");
const QString kLastSentCaption = QStringLiteral("Quil-Connect-Ready");
const QString kAllDoneCaption = QStringLiteral("Quil.Connect-Ready");
const QString kNotOffered = QStringLiteral("Not sent, not among the offered files: %1");
const QString kMoreNotOffered = QStringLiteral(" and %1 more");

// The data lines of a message, up to an empty line or the end of the connection. Nothing when the
// message outgrows its bounds: the connection is then closed and the rest never read.
std::optional<QList<QByteArray>> readDataLines(TCustomIpClient* client, qint64 firstLineBytes) {
    QList<QByteArray> lines;
    qint64 bytes = firstLineBytes + kLineEndBytes;
    for (QByteArray line = client->ReceiveLine(); !line.isEmpty(); line = client->ReceiveLine()) {
        bytes += line.size() + kLineEndBytes;
        if (lines.size() + 2 > kMaxTradeMessageLines || bytes > kMaxTradeMessageBytes) {
            client->shutdownBoth();
            return std::nullopt;
        }
        lines << line;
    }
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

// A received listing as the items of the remote list, made on the listener's worker: every text is
// made safe to show there, and the window only has to put the ready items in.
std::vector<std::unique_ptr<QTreeWidgetItem>> listingItems(const QList<QByteArray>& lines) {
    std::vector<std::unique_ptr<QTreeWidgetItem>> items;
    for (const ListedFile& file : listedFiles(lines)) {
        auto item = std::make_unique<QTreeWidgetItem>(QStringList{
            shownText(ansi::decode(file.name), kMaxShownLineChars),
            shownText(file.type, kMaxShownLineChars), shownText(file.size, kMaxShownLineChars)});
        item->setCheckState(kCaptionColumn, Qt::Unchecked);
        item->setData(kCaptionColumn, kNameBytesRole, file.name); // sent back as it came
        items.push_back(std::move(item));
    }
    return items;
}

// Replaces the items of a list in one step, with its updates held meanwhile. The old items are
// returned to be deleted off the GUI thread.
QList<QTreeWidgetItem*> replaceItems(QTreeWidget* list,
                                     std::vector<std::unique_ptr<QTreeWidgetItem>>& items) {
    list->setUpdatesEnabled(false);
    QList<QTreeWidgetItem*> old = list->invisibleRootItem()->takeChildren();
    QList<QTreeWidgetItem*> added;
    added.reserve(qsizetype(items.size()));
    for (std::unique_ptr<QTreeWidgetItem>& item : items)
        added << item.release();
    items.clear();
    list->addTopLevelItems(added);
    list->setUpdatesEnabled(true);
    return old;
}

// Ticks the local items a request names; ticks already set stay.
void tickRequested(QTreeWidget* local, const QList<QByteArray>& names) {
    QList<QByteArray> localNames;
    localNames.reserve(local->topLevelItemCount());
    for (int i = 0; i < local->topLevelItemCount(); ++i)
        localNames << local->topLevelItem(i)->data(kCaptionColumn, kNameBytesRole).toByteArray();
    for (int row : requestedRows(localNames, names))
        local->topLevelItem(row)->setCheckState(kCaptionColumn, Qt::Checked);
}

// One line for all names of a request that were skipped at once, however many.
QString notOfferedNotice(const QByteArray& firstName, qsizetype count) {
    QString notice = kNotOffered.arg(shownText(ansi::decode(firstName), kMaxShownLineChars));
    if (count > 1)
        notice += kMoreNotOffered.arg(count - 1);
    return notice;
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

// Sends run on the connection worker, so a slow or vanished peer never stalls the window; they
// keep the order of the clicks. While one is on its way its reconnect is not done yet and the
// client reads as not connected, so `pending` counts them: a message queued behind them is sent
// if the reconnect succeeds. An error shows in the error box; afterSent runs on the GUI thread
// once the message has gone out. A send of a kind (work a peer provoked) that is still queued is
// replaced by the new one rather than queued twice. `count` is told of each send queued (+1)
// and ended (-1).
void postSend(TForm1* form, SerialWorker& worker, std::function<void(int)> count,
              std::function<bool()> send, std::function<void()> afterSent = {},
              SerialWorker::Kind kind = SerialWorker::kNoKind) {
    const bool queued =
        worker.post(kind, [form, count, send = std::move(send), afterSent = std::move(afterSent)] {
            bool sent = false;
            const QString failure = failureOf([&] { sent = send(); });
            postTo(form, [form, count, failure, sent, afterSent] {
                count(-1);
                if (!failure.isEmpty())
                    form->reportError(failure);
                else if (sent && afterSent)
                    afterSent();
            });
        });
    if (queued)
        count(+1);
}

// One message on a client as one unit, queued now: true when every line went out.
bool sendWhole(TTcpClient& client, const QList<QByteArray>& lines, TTcpClient::Ticket ticket,
               TTcpClient::SendWhen when = TTcpClient::SendWhen::Always) {
    return client.sendMessage(lines, when, ticket) == lines.size();
}
} // namespace

void TForm1::ListTradeFolder() {
    ListView2->clear();
    const QString folder = Edit4->text();
    if (!prepareFolder(folder))
        return;
    for (const TradeFileEntry& entry : listTradeFolder(folder)) {
        auto* item = new QTreeWidgetItem(ListView2, {entry.name, entry.type, entry.size});
        item->setCheckState(kCaptionColumn, Qt::Unchecked);
        item->setData(kCaptionColumn, kNameBytesRole, ansi::encode(entry.name));
        item->setData(kCaptionColumn, kPathRole, entry.path);
    }
}

bool TForm1::prepareFolder(const QString& folderPrefix) {
    const QString failure = ensureFolder(folderPrefix);
    if (failure.isEmpty())
        return true;
    // Told once: every later listing or file would repeat the same complaint.
    if (foldersReported_.first(folderPrefix))
        appendChatLog(failure);
    return false;
}

// The listing is taken from ListView2 now; the offer is what the peer was shown: requests are
// answered from it alone, once its first line went out.
void TForm1::SendFileList(TTcpClient::SendWhen when) {
    VORLAX_ON_THREAD_OF(this);
    QList<QByteArray> lines{sendFileListLine()};
    std::vector<OfferedFiles::Entry> offer;
    for (int i = 0; i < ListView2->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = ListView2->topLevelItem(i);
        const QByteArray name = item->data(kCaptionColumn, kNameBytesRole).toByteArray();
        lines << name << fieldToWire(item->text(kTypeColumn))
              << fieldToWire(item->text(kSizeColumn));
        offer.push_back({name, item->data(kCaptionColumn, kPathRole).toString()});
    }
    postTradeSend(
        [this, lines, offer, when, ticket = TradeClient->ticket()] {
            if (TradeClient->sendMessage(lines, when, ticket) > 0)
                offeredFiles.reset(offer);
            return true;
        },
        kListing);
}

void TForm1::postTradeSend(std::function<bool()> send, SerialWorker::Kind kind) {
    VORLAX_ON_THREAD_OF(this);
    postSend(this, *netWorker_, tradeSendCount(), std::move(send), {}, kind);
}

bool TForm1::tradeClientUsable() const {
    return TradeClient->Connected() || agreement.sendsPending();
}

std::function<void(int)> TForm1::tradeSendCount() {
    return [this](int change) {
        if (change > 0)
            agreement.sendsQueued(change);
        else
            agreement.sendsEnded(-change);
    };
}

void TForm1::act(TradeAgreement::Action action, const QString& peerAddress) {
    switch (action) {
    case TradeAgreement::Action::Upload:
        UploadNextFile();
        break;
    case TradeAgreement::Action::TellPeerAccepted:
        if (!peerAddress.isEmpty()) // only the connected peer's acceptance is notified
            notifyPeerAccepted(this, peerAddress);
        break;
    case TradeAgreement::Action::None:
        break;
    }
}

void TForm1::AskForTrade() {
    QList<QByteArray> lines{askForTradeLine()};
    QList<qint64> listedSizes;
    for (int i = 0; i < ListView1->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = ListView1->topLevelItem(i);
        if (item->checkState(kCaptionColumn) != Qt::Checked)
            continue;
        lines << item->data(kCaptionColumn, kNameBytesRole).toByteArray();
        // A size that is no count of bytes (negative, or no number) lets only an empty file in.
        listedSizes << std::max<qint64>(0, item->text(kSizeColumn).toLongLong());
    }
    askedFiles.reset(lines.mid(1), listedSizes); // only these files may arrive, no larger
    postTradeSend([this, lines, ticket = TradeClient->ticket()] {
        return sendWhole(*TradeClient, lines, ticket);
    });
}

QString TForm1::TradeSummary() const {
    return tradeSummary(summaryRows(ListView1), summaryRows(ListView2));
}

void TForm1::BitBtn19Click() {
    BitBtn20->setEnabled(true);
    agreement.weAsk();
    // The asked files will be written into the save folder: a missing one is made now.
    prepareFolder(Edit1->text());
    AskForTrade();
    StatusBar1->showMessage(TradeSummary());
}

void TForm1::BitBtn20Click() {
    VORLAX_ON_THREAD_OF(this);
    const bool sendingAcceptance = tradeClientUsable();
    if (sendingAcceptance) {
        // This user has agreed only once the peer can know it: the flag waits for the line to be
        // sent, and is not set at all when an "Ask for download" or a connection step came since.
        postSend(
            this, *netWorker_, tradeSendCount(),
            [this, ticket = TradeClient->ticket()] {
                return sendWhole(*TradeClient, {acceptTheTradeLine()}, ticket,
                                 TTcpClient::SendWhen::IfConnected);
            },
            [this, round = agreement.round()] {
                if (!attemptRunning())
                    act(agreement.acceptanceSent(round));
            });
    }
    if (ChatClient->Connected() || chatSendsPending_ > 0) {
        const QString line = QStringLiteral("<%1>: %2").arg(Edit5->text(), kAcceptTrade);
        Memo1->appendPlainText(line);
        postSend(
            this, *netWorker_, [this](int change) { chatSendsPending_ += change; },
            [this, line, ticket = ChatClient->ticket()] {
                return sendWhole(*ChatClient, {ansi::encode(line)}, ticket,
                                 TTcpClient::SendWhen::IfConnected);
            });
        Edit3->clear();
    }
    if (!sendingAcceptance)
        act(agreement.acceptedAgain());
}

void TForm1::handOverUploads() {
    setWindowTitle(kLastSentCaption);
    // Provoked by the peer's request: held once, however many requests came.
    postTradeSend(
        [this, ticket = TradeClient->ticket()] {
            return sendWhole(*TradeClient, {lastFileSendedLine()}, ticket);
        },
        kTradeAnswer);
}

QString TForm1::takeNextUpload() {
    // A request that came after this user's agreement has not been agreed to: an upload queued
    // before it sends nothing of it.
    if (!agreement.WeAccepted())
        return {};
    QString path;
    QByteArray firstSkipped;
    qsizetype skipped = 0;
    while (!SendQueue.isEmpty() && path.isEmpty()) {
        const QByteArray name = SendQueue.takeFirst();
        if (const std::optional<QString> offered = offeredFiles.pathFor(name))
            path = *offered;
        else if (skipped++ == 0)
            firstSkipped = name;
    }
    if (skipped > 0)
        appendChatLog(notOfferedNotice(firstSkipped, skipped));
    // Nothing left that may go: answer as to a next-file request with an empty queue, so the trade
    // goes on in the other direction.
    if (path.isEmpty() && skipped > 0)
        handOverUploads();
    return path;
}

void TForm1::TradeServerAccept(TTcpServer*, TCustomIpClient* client) {
    MessageTurns::Turn turn(tradeTurns_, client->acceptIndex());
    const QByteArray firstLine = client->ReceiveLine();
    const TradeMessage message = tradeMessageOf(firstLine);
    if (message == TradeMessage::Unknown)
        return;
    turn.begin();
    const std::optional<QList<QByteArray>> lines =
        carriesDataLines(message) ? readDataLines(client, firstLine.size()) : QList<QByteArray>();
    // Too large, cut short by the receive deadline, or read whole only after its deadline: a part
    // of a message is never applied, and a late one has lost its turn.
    if (!lines || client->cutOff() || !turn.wait())
        return;
    const QString senderText = client->RemoteHost();
    const quint32 sender = QHostAddress(senderText).toIPv4Address();
    std::vector<std::unique_ptr<QTreeWidgetItem>> listing;
    if (message == TradeMessage::SendFileList)
        listing = listingItems(*lines);
    QList<QTreeWidgetItem*> replaced;
    bool queueEmpty = false;
    const bool applied = hopToWindow([&] {
        switch (message) {
        case TradeMessage::LastFileSended:
        case TradeMessage::SendNextFile:
            // Uploads start or go on only while this copy's user has agreed.
            if (!agreement.WeAccepted())
                break;
            queueEmpty = SendQueue.isEmpty();
            if (fromPeer(sender))
                notifyTransferEnd(this, senderText, message == TradeMessage::LastFileSended,
                                  queueEmpty);
            if (!queueEmpty) {
                UploadNextFile();
            } else if (message == TradeMessage::SendNextFile) {
                handOverUploads();
            } else {
                setWindowTitle(kAllDoneCaption);
                appendChatLog(kTransfersFinished);
            }
            break;
        case TradeMessage::SendFileList:
            replaced = replaceItems(ListView1, listing);
            tradeSenders_.listing = sender;
            break;
        case TradeMessage::AskForTrade:
            // New wishes need this user's consent anew, also an acceptance still on its way.
            agreement.peerAsks();
            tickRequested(ListView2, *lines);
            SendQueue = *lines;
            tradeSenders_.request = sender;
            if (fromPeer(sender))
                notifyFilesAsked(this, senderText, *lines);
            StatusBar1->showMessage(TradeSummary());
            break;
        case TradeMessage::AcceptTheTrade:
            tradeSenders_.acceptance = sender;
            act(agreement.peerAccepts(), fromPeer(sender) ? senderText : QString());
            break;
        case TradeMessage::Unknown:
            break;
        }
    });
    turn.done();
    qDeleteAll(replaced); // a large listing's old items cost the window nothing
    // The answer goes out on the connection worker, held once however many requests came.
    if (applied && queueEmpty && message == TradeMessage::LastFileSended)
        netWorker_->post(kChatAnswer, [this, ticket = ChatClient->ticket()] {
            ChatClient->sendMessage({ansi::encode(kTransfersFinished)},
                                    TTcpClient::SendWhen::Always, ticket);
        });
}

void TForm1::ListView1ColumnClick(int column) {
    RemoteSortColumn = column;
    sortList(ListView1, column);
}

void TForm1::ListView2ColumnClick(int column) {
    LocalSortColumn = column;
    sortList(ListView2, column);
}
