// The trade negotiation: each copy offers its trade folder to the peer, asks for the files it
// ticked in the peer's listing, and both users agree with "Start download". Every message is one
// connection of the trade client; the listener's side applies each message in one step, in the
// order the messages began.
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

QList<SummaryRow> summaryRows(const QTreeWidget* list) {
    QList<SummaryRow> rows;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = list->topLevelItem(i);
        rows.append({item->checkState(kCaptionColumn) == Qt::Checked, item->text(kSizeColumn)});
    }
    return rows;
}

// A received listing as the items of the remote list, every text made safe to show.
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
// returned, to be deleted once the list shows the new ones.
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
void TForm1::SendFileList(bool ifConnected) {
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
    postTradeSend({lines, ifConnected, kListing}, [this, offer](int sent) {
        if (sent > 0)
            offeredFiles.reset(offer);
    });
}

// Sends are queued on the network thread, so a slow or vanished peer never stalls the window; they
// keep the order of the clicks. While one is on its way its reconnect is not done yet, so the
// agreement counts them: a message queued behind them is sent if the reconnect succeeds.
void TForm1::postTradeSend(TTcpClient::Message message, std::function<void(int sent)> done) {
    VORLAX_ON_THREAD_OF(this);
    agreement.sendsQueued(1);
    TradeClient->send(std::move(message), [this, done = std::move(done)](int sent) {
        agreement.sendsEnded(1);
        if (done)
            done(sent);
    });
}

bool TForm1::tradeClientUsable() const {
    return TradeClient->Connected() || agreement.sendsPending();
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
    resetAskedFiles(lines.mid(1), listedSizes); // only these files may arrive, no larger
    postTradeSend({lines});
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
        postTradeSend({{acceptTheTradeLine()}, true}, [this, round = agreement.round()](int sent) {
            if (sent == 1 && !attemptRunning())
                act(agreement.acceptanceSent(round));
        });
    }
    if (ChatClient->Connected() || chatSendsPending_ > 0) {
        const QString line = QStringLiteral("<%1>: %2").arg(Edit5->text(), kAcceptTrade);
        Memo1->appendPlainText(line);
        ++chatSendsPending_;
        ChatClient->send({{ansi::encode(line)}, true}, [this](int) { --chatSendsPending_; });
        Edit3->clear();
    }
    if (!sendingAcceptance)
        act(agreement.acceptedAgain());
}

void TForm1::handOverUploads() {
    setWindowTitle(kLastSentCaption);
    // Provoked by the peer's request: held once, however many requests came.
    postTradeSend({{lastFileSendedLine()}, false, kTradeAnswer});
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

// The channel's shape has dropped what is not a trade message, too large, or cut off at its
// deadline; a message that came from another address than the peer's while connected never
// arrives here.
void TForm1::TradeServerAccept(TTcpServer*, LineMessage received) {
    const TradeMessage message = tradeMessageOf(received.lines.first());
    // Taken over, not copied: a request may hold a hundred thousand names.
    QList<QByteArray> lines = std::move(received.lines);
    lines.removeFirst();
    const quint32 sender = received.sender;
    const QString& senderText = received.senderHost;
    QList<QTreeWidgetItem*> replaced;
    bool queueEmpty = false;
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
            // The answer is held once however many requests came.
            ChatClient->send({{ansi::encode(kTransfersFinished)}, false, kChatAnswer});
        }
        break;
    case TradeMessage::SendFileList: {
        std::vector<std::unique_ptr<QTreeWidgetItem>> listing = listingItems(lines);
        replaced = replaceItems(ListView1, listing);
        tradeSenders_.listing = sender;
        break;
    }
    case TradeMessage::AskForTrade:
        // New wishes need this user's consent anew, also an acceptance still on its way.
        agreement.peerAsks();
        tickRequested(ListView2, lines);
        SendQueue = lines;
        tradeSenders_.request = sender;
        if (fromPeer(sender))
            notifyFilesAsked(this, senderText, lines);
        StatusBar1->showMessage(TradeSummary());
        break;
    case TradeMessage::AcceptTheTrade:
        tradeSenders_.acceptance = sender;
        act(agreement.peerAccepts(), fromPeer(sender) ? senderText : QString());
        break;
    case TradeMessage::Unknown:
        break;
    }
    qDeleteAll(replaced);
}

void TForm1::ListView1ColumnClick(int column) {
    RemoteSortColumn = column;
    sortList(ListView1, column);
}

void TForm1::ListView2ColumnClick(int column) {
    LocalSortColumn = column;
    sortList(ListView2, column);
}
