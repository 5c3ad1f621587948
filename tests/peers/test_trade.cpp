// The trade negotiation between two real copies over loopback: the listing a copy receives, the
// request and the summaries, the acceptance, the hand-over when a queue runs empty, sorting, and
// what the trade listener makes of raw messages.

#include "support/PeerStandIns.h"
#include "support/TwoCopies.h"

#include "net/TcpChannel.h"

#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <thread>

namespace {
const QByteArray kSendFileList("\xA7\xA7\xA7-SendFileList-\xA7\xA7\xA7");
const QByteArray kAskForTrade("\xA7\xA7\xA7-AskForTrade-\xA7\xA7\xA7");
const QByteArray kAccept("\xA7\xA7\xA7-!AcceptTheTrade!-\xA7\xA7\xA7");
const QByteArray kSendNextFile("\xA7\xA7-SendNextFile-\xA7\xA7");

void writeFile(const QString& path, qsizetype size) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(size, 'x'));
}

QStringList column(const QTreeWidget* list, int col) {
    QStringList texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        texts << list->topLevelItem(i)->text(col);
    return texts;
}

QTreeWidgetItem* itemNamed(const QTreeWidget* list, const QString& name) {
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(0) == name)
            return list->topLevelItem(i);
    return nullptr;
}

void clickHeader(QTreeWidget* list, int section) {
    QHeaderView* header = list->header();
    const QPoint at(header->sectionViewportPosition(section) + header->sectionSize(section) / 2,
                    header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
}

// Sends one message on a copy's own trade client, as its handlers do: the lines on the connection
// that waits at the peer, then the reconnect for the next one.
void sendAsPeer(TForm1& from, const QList<QByteArray>& lines) {
    ASSERT_TRUE(from.TradeClient->Connected());
    std::optional<int> sent;
    from.TradeClient->send({lines}, [&](int n) { sent = n; });
    ASSERT_TRUE(waitUntil([&] { return sent.has_value(); }));
    ASSERT_EQ(*sent, lines.size());
    ASSERT_TRUE(from.TradeClient->Connected());
}
} // namespace

TEST(Trade, ListingRequestSummaryAcceptanceAndSorting) {
    const auto [pa, pb] = freePortSets();
    CopyPair pair{makeCopy(pa, pb, "Anna"), makeCopy(pb, pa, "Bert")};
    TForm1& a = *pair.a->form;
    TForm1& b = *pair.b->form;
    writeFile(pair.b->tradeFolder() + "small.txt", 5);
    writeFile(pair.b->tradeFolder() + "big.dat", 1200);
    writeFile(pair.b->tradeFolder() + "mid.bin", 900);
    writeFile(pair.b->tradeFolder() + "README", 0);
    b.ListTradeFolder();
    goOnline(a);
    goOnline(b);
    connectTo(a, "127.0.0.1");
    connectTo(b, "127.0.0.1");
    ASSERT_TRUE(waitUntil([&] { return a.ListView1->topLevelItemCount() == 4; }));
    ASSERT_NE(itemNamed(a.ListView1, "README"), nullptr);
    EXPECT_EQ(itemNamed(a.ListView1, "README")->text(1), "");
    EXPECT_EQ(itemNamed(a.ListView1, "mid.bin")->text(1), "bin");
    EXPECT_EQ(itemNamed(a.ListView1, "big.dat")->text(2), "1200");

    // Size sorts by value, twice the same; the name ignores letter case.
    a.PageControl2->setCurrentWidget(a.TabSheet4);
    clickHeader(a.ListView1, 2);
    EXPECT_EQ(column(a.ListView1, 2), QStringList({"0", "5", "900", "1200"}));
    clickHeader(a.ListView1, 2);
    EXPECT_EQ(column(a.ListView1, 2), QStringList({"0", "5", "900", "1200"}));
    EXPECT_EQ(a.RemoteSortColumn, 2);
    clickHeader(a.ListView1, 0);
    EXPECT_EQ(column(a.ListView1, 0), QStringList({"big.dat", "mid.bin", "README", "small.txt"}));

    itemNamed(a.ListView1, "small.txt")->setCheckState(0, Qt::Checked);
    itemNamed(a.ListView1, "mid.bin")->setCheckState(0, Qt::Checked);
    EXPECT_FALSE(a.BitBtn20->isEnabled());
    QTest::mouseClick(a.BitBtn19, Qt::LeftButton);
    EXPECT_TRUE(a.BitBtn20->isEnabled());
    EXPECT_EQ(a.StatusBar1->currentMessage(), "2 Files and 905 kb ---- 0 Files and 0 kb");
    ASSERT_TRUE(waitUntil([&] { return b.SendQueue.size() == 2; }));
    EXPECT_EQ(b.SendQueue, QList<QByteArray>({"mid.bin", "small.txt"}));
    EXPECT_EQ(itemNamed(b.ListView2, "mid.bin")->checkState(0), Qt::Checked);
    EXPECT_EQ(itemNamed(b.ListView2, "small.txt")->checkState(0), Qt::Checked);
    EXPECT_EQ(itemNamed(b.ListView2, "big.dat")->checkState(0), Qt::Unchecked);
    EXPECT_EQ(b.StatusBar1->currentMessage(), "0 Files and 0 kb ---- 2 Files and 905 kb");

    QTest::mouseClick(a.BitBtn20, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return a.agreement.WeAccepted(); }));
    EXPECT_FALSE(a.agreement.PeerAccepted());
    ASSERT_TRUE(waitUntil([&] { return b.agreement.PeerAccepted(); }));
    EXPECT_FALSE(b.agreement.WeAccepted());
    ASSERT_TRUE(waitUntil([&] { return logHas(b, "<Anna>: Accept Trade"); }));
    EXPECT_TRUE(logHas(a, "<Anna>: Accept Trade"));

    // Asking again clears both own flags; the peer's acceptance must come anew.
    QTest::mouseClick(b.BitBtn19, Qt::LeftButton);
    EXPECT_FALSE(b.agreement.PeerAccepted());
    EXPECT_TRUE(pair.a->errors.isEmpty());
    EXPECT_TRUE(pair.b->errors.isEmpty());
}

TEST(Trade, RawMessagesAndTheHandOverWhenBothQueuesAreEmpty) {
    CopyPair pair = connectedPair();
    TForm1& a = *pair.a->form;
    TForm1& b = *pair.b->form;
    b.ListView2->clear();
    for (const char* name : {"one.txt", "Two.txt"}) {
        auto* item = new QTreeWidgetItem(b.ListView2, {name, "txt", "10"});
        item->setCheckState(0, Qt::Unchecked);
        item->setData(0, Qt::UserRole, QByteArray(name));
    }

    // Seven data lines give two items.
    sendTradeMessage(b, {kSendFileList, "x.txt", "txt", "1", "y", " ", "2", "dropped"});
    ASSERT_TRUE(waitUntil([&] { return column(b.ListView1, 0) == QStringList({"x.txt", "y"}); }));
    // Messages a peer sends back to back take effect in the order sent.
    sendAsPeer(a, {kSendFileList, "p.txt", "txt", "3"});
    sendAsPeer(a, {kSendFileList, "p.txt", "txt", "3", "q", " ", "4", "r.txt"});
    sendAsPeer(a, {kAccept});
    ASSERT_TRUE(waitUntil([&] { return b.agreement.PeerAccepted(); }));
    EXPECT_EQ(column(b.ListView1, 0), QStringList({"p.txt", "q"}));
    EXPECT_EQ(column(b.ListView1, 1), QStringList({"txt", ""}));

    // A first line off by letter case or one "§" is ignored with all that follows.
    sendTradeMessage(b, {"\xA7\xA7\xA7-askfortrade-\xA7\xA7\xA7", "one.txt"});
    sendTradeMessage(b, {"\xA7\xA7-AskForTrade-\xA7\xA7\xA7", "one.txt"});
    // Names are queued as sent, repeated and unmatched ones too; only exact names tick.
    sendTradeMessage(b, {kAskForTrade, "one.txt", "two.txt", "one.txt"});
    ASSERT_TRUE(waitUntil([&] { return !b.SendQueue.isEmpty(); }));
    EXPECT_EQ(b.SendQueue, QList<QByteArray>({"one.txt", "two.txt", "one.txt"}));
    EXPECT_EQ(itemNamed(b.ListView2, "one.txt")->checkState(0), Qt::Checked);
    EXPECT_EQ(itemNamed(b.ListView2, "Two.txt")->checkState(0), Qt::Unchecked);
    EXPECT_EQ(b.StatusBar1->currentMessage(), "0 Files and 0 kb ---- 1 Files and 10 kb");

    // A request without names empties the queue and keeps the ticks.
    sendTradeMessage(b, {kAskForTrade});
    ASSERT_TRUE(waitUntil([&] { return b.SendQueue.isEmpty(); }));
    EXPECT_EQ(itemNamed(b.ListView2, "one.txt")->checkState(0), Qt::Checked);

    // B has nothing left to send: it hands over to A, which has nothing either and ends the trade.
    a.agreement.acceptanceSent(a.agreement.round());
    b.agreement.acceptanceSent(b.agreement.round());
    sendTradeMessage(b, {kSendNextFile});
    ASSERT_TRUE(waitUntil([&] { return b.windowTitle() == "Quil-Connect-Ready"; }));
    ASSERT_TRUE(waitUntil([&] { return a.windowTitle() == "Quil.Connect-Ready"; }));
    const QString finished = "Upload/Download has been finished";
    ASSERT_TRUE(waitUntil([&] { return logHas(a, finished) && logHas(b, finished); }));
    EXPECT_EQ(b.windowTitle(), "Quil-Connect-Ready");
}

TEST(Trade, NonIntegerSizeFailsTheSummaryAndTheSizeSort) {
    const auto [local, remote] = freePortSets();
    auto copy = makeCopy(local, remote, "Anna");
    TForm1& a = *copy->form;
    auto* item = new QTreeWidgetItem(a.ListView1, {"odd", "", "12x"});
    item->setCheckState(0, Qt::Checked);
    new QTreeWidgetItem(a.ListView1, {"even", "", "4"});
    a.PageControl2->setCurrentWidget(a.TabSheet4);
    clickHeader(a.ListView1, 2);
    EXPECT_EQ(column(a.ListView1, 0), QStringList({"odd", "even"}));
    QTest::mouseClick(a.BitBtn19, Qt::LeftButton);
    EXPECT_TRUE(a.BitBtn20->isEnabled());
    const QString conversion = QString::fromUtf8("'12x' ist kein gültiger Integerwert.");
    EXPECT_EQ(copy->errors, QStringList({conversion, conversion}));
}

TEST(Trade, MissingFoldersAreCreatedAndOneThatCannotBeIsToldOnce) {
    const auto [local, remote] = freePortSets();
    auto copy = makeCopy(local, remote, "Anna");
    TForm1& f = *copy->form;
    const QString fresh = copy->folder.path() + "/fresh/Public/";
    f.Edit4->setText(fresh);
    f.ListTradeFolder();
    EXPECT_TRUE(QFileInfo(fresh).isDir());
    // The save folder is made when files are asked for.
    const QString save = copy->folder.path() + "/fresh/Downloads/";
    f.Edit1->setText(save);
    QTest::mouseClick(f.BitBtn19, Qt::LeftButton);
    EXPECT_TRUE(QFileInfo(save).isDir());

    // Below a plain file no folder can be made: one line in the log, not one per listing.
    writeTestFile(copy->folder.path() + "/plain", "x");
    f.Edit4->setText(copy->folder.path() + "/plain/Public/");
    f.ListTradeFolder();
    f.ListTradeFolder();
    ASSERT_TRUE(waitUntil([&] { return f.Memo1->toPlainText().contains("cannot be created"); }));
    EXPECT_EQ(f.Memo1->toPlainText().count("cannot be created"), 1);
    EXPECT_EQ(f.ListView2->topLevelItemCount(), 0);
}
