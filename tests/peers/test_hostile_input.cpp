// A hostile peer's input against the window: wishes that come after the user's agreement, chat
// lines that try to pass for the program's own or to fill the log, and a request of as many names
// as a message may carry.

#include "support/PeerInput.h"
#include "support/PeerStandIns.h"
#include "support/TwoCopies.h"

#include "chat/ChatLog.h"
#include "common/DisplayText.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTcpServer>
#include <QTextBlock>
#include <QTextDocument>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <thread>

namespace {
const QByteArray kAskForTrade("\xA7\xA7\xA7-AskForTrade-\xA7\xA7\xA7");
const QByteArray kSendNextFile("\xA7\xA7-SendNextFile-\xA7\xA7");
const QString kFinished = QStringLiteral("Upload/Download has been finished");
constexpr int kQuietMs = 500; // how long something that must not happen is watched for
} // namespace

TEST(HostilePeer, EachRequestNeedsTheUsersAgreementAnew) {
    StandInPeer peer;
    QTcpServer downloads; // takes the uploads' connections
    ASSERT_TRUE(downloads.listen(QHostAddress::LocalHost));
    auto copy = onlineCopy([&](PortSet& remote) {
        remote = peer.aimedAt(remote);
        remote.download = QString::number(downloads.serverPort());
    });
    TForm1& f = *copy->form;
    constexpr int kPauseMs = 1000; // an upload waits this long before it takes its file
    f.uploadPauseMs = kPauseMs;
    for (const char* name : {"first.txt", "second.txt"})
        writeTestFile(copy->tradeFolder() + name, name);
    f.ListTradeFolder();
    connectTo(f, "127.0.0.1");
    const QString uploadFirst = "Upload: " + copy->tradeFolder() + "first.txt";
    const QString uploadSecond = "Upload: " + copy->tradeFolder() + "second.txt";
    auto agree = [&] {
        QTest::mouseClick(f.BitBtn20, Qt::LeftButton);
        ASSERT_TRUE(waitUntil([&] { return f.agreement.WeAccepted(); }));
    };

    QTest::mouseClick(f.BitBtn19, Qt::LeftButton);
    sendTradeMessage(f, {kAskForTrade, "first.txt"});
    ASSERT_TRUE(waitUntil([&] { return f.SendQueue.size() == 1; }));
    agree();
    sendTradeMessage(f, {kSendNextFile});
    ASSERT_TRUE(waitUntil([&] { return logLines(f).contains(uploadFirst); }, 3 * kPauseMs));

    // After that trade, new wishes and a next-file request send nothing without a new click.
    sendTradeMessage(f, {kAskForTrade, "second.txt"});
    sendTradeMessage(f, {kSendNextFile});
    ASSERT_TRUE(waitUntil([&] { return f.SendQueue.size() == 1 && !f.agreement.WeAccepted(); }));
    EXPECT_FALSE(waitUntil([&] { return logLines(f).contains(uploadSecond); }, kQuietMs));

    // Nor does an upload already waiting when new wishes come: it sends nothing of them.
    agree();
    sendTradeMessage(f, {kSendNextFile});
    sendTradeMessage(f, {kAskForTrade, "first.txt"});
    EXPECT_FALSE(waitUntil(
        [&] { return logLines(f).contains(uploadSecond) || logLines(f).count(uploadFirst) > 1; },
        kPauseMs + kQuietMs));

    // Agreed to, the new wish goes.
    agree();
    sendTradeMessage(f, {kSendNextFile});
    EXPECT_TRUE(waitUntil([&] { return logLines(f).count(uploadFirst) == 2; }, 3 * kPauseMs));
    EXPECT_TRUE(copy->errors.isEmpty()) << copy->errors.join('|').toStdString();
}

TEST(HostilePeer, ChatLinesCannotPassForTheProgramsOwnNorOutgrowTheLog) {
    auto copy = onlineCopy();
    TForm1& f = *copy->form;
    const quint16 port = f.ChatServer->boundPort();

    // Line breaks inside a message: CR LF ends a line on the wire (the lines are joined), a lone
    // CR or LF is inside a line; none of them starts a line in the log.
    sendRawMessage(port, "<Mal>: a\r\n" + kFinished.toLatin1() + "\r\n");
    sendRawMessage(port, "<Mal>: b\n" + kFinished.toLatin1() + "\r\n");
    sendRawMessage(port, "<Mal>: c\r" + kFinished.toLatin1() + "\n\r\n");
    ASSERT_TRUE(waitUntil([&] { return logLines(f).filter("<Mal>").size() == 3; }));
    EXPECT_FALSE(logLines(f).contains(kFinished)) << f.Memo1->toPlainText().toStdString();
    EXPECT_TRUE(logLines(f).contains("<Mal>: b " + kFinished));

    // A line of a megabyte is shown cut.
    sendRawMessage(port, "<Big>: " + QByteArray(1024 * 1024 - 64, 'x') + "\r\n");
    ASSERT_TRUE(waitUntil([&] { return !logLines(f).filter("<Big>").isEmpty(); }));
    const QString big = logLines(f).filter("<Big>").first();
    EXPECT_EQ(big.size(), kMaxShownLineChars);
    EXPECT_TRUE(big.endsWith(QChar(0x2026)));

    // Many lines as long as shown ones: the oldest go, and the log keeps its byte bound throughout.
    constexpr int kLongLines = 400; // far more than the bound holds
    qsizetype largest = 0;
    bool last = true;
    for (int i = 0; i < kLongLines && last; ++i) {
        const QByteArray fill = "<Fill " + QByteArray::number(i) + ">: ";
        sendRawMessage(port, fill + QByteArray(kMaxShownLineChars - 16, 'y') + "\r\n");
        last = waitUntil(
            [&] {
                largest = std::max(largest, chatLogBytes(f.Memo1));
                return f.Memo1->document()->lastBlock().text().startsWith(fill);
            },
            30000);
    }
    ASSERT_TRUE(last);
    EXPECT_LE(largest, kChatLogMaxBytes);
    EXPECT_TRUE(logLines(f).filter("<Mal>").isEmpty()); // the oldest lines went first
}

TEST(HostilePeer, ARequestOfAsManyNamesAsAMessageCarriesIsMatchedAtOnce) {
    auto copy = onlineCopy();
    TForm1& f = *copy->form;
    constexpr int kLocalFiles = 2000;
    constexpr int kNames = 99998; // the most a trade message carries
    f.ListView2->clear();
    for (int i = 0; i < kLocalFiles; ++i) {
        const QByteArray name = "local" + QByteArray::number(i);
        auto* item = new QTreeWidgetItem(f.ListView2, {QString::fromLatin1(name), "", "1"});
        item->setCheckState(0, Qt::Unchecked);
        item->setData(0, Qt::UserRole, name);
    }
    // Every third local file is named, most names match nothing.
    QList<QByteArray> request{kAskForTrade};
    for (int i = 0; request.size() <= kNames; ++i)
        request << (i % 50 == 0 ? "local" + QByteArray::number(i / 50 % (kLocalFiles / 3 + 1) * 3)
                                : "wish" + QByteArray::number(i));
    GuiHeartbeat heartbeat;
    std::thread sender([&] { sendTradeMessage(f, request); });
    const bool applied = waitUntil([&] { return f.SendQueue.size() == kNames; }, 30000);
    sender.join();
    ASSERT_TRUE(applied);
    int ticked = 0;
    for (int i = 0; i < kLocalFiles; ++i) {
        const bool named = i % 3 == 0;
        EXPECT_EQ(f.ListView2->topLevelItem(i)->checkState(0) == Qt::Checked, named) << i;
        ticked += named;
    }
    EXPECT_EQ(f.StatusBar1->currentMessage(),
              QStringLiteral("0 Files and 0 kb ---- %1 Files and %1 kb").arg(ticked));
    // Matching name by name against every file held the window for seconds; a generous margin
    // over the 50 ms the window may be held.
    constexpr qint64 kGenerousStallMs = 1000;
    EXPECT_LT(heartbeat.longestGapMs(), kGenerousStallMs);
}
