// A successful Connect sends this copy's file list on the trade channel: the first line names the
// message, then name, type and size of every offered file, each on a line of its own.

#include "support/PeerStandIns.h"
#include "support/TwoCopies.h"

#include "net/TcpChannel.h"

#include <QFile>
#include <QLineEdit>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <mutex>

TEST(FileList, ConnectSendsTheLocalListingWithEmptyTypesCarriedAsOneSpace) {
    StandInPeer peer;
    auto [local, remote] = freePortSets();
    auto copy = makeCopy(local, peer.aimedAt(remote), "Gus");
    RecordingListener& chat = peer.chat;
    RecordingListener& trade = peer.trade;
    RecordingListener& plot = peer.plot;
    writeTestFile(copy->tradeFolder() + "notes.txt", "12345");
    writeTestFile(copy->tradeFolder() + "README", "");
    writeTestFile(copy->tradeFolder() + "Résumé €.doc", "x");
    TForm1& f = *copy->form;
    f.ListTradeFolder();
    ASSERT_EQ(f.ListView2->topLevelItemCount(), 3);

    goOnline(f);
    connectTo(f, "127.0.0.1");
    EXPECT_EQ(f.statusIconIndex, 2);
    ASSERT_TRUE(waitUntil([&] { return !trade.received().isEmpty(); }));
    const QList<QByteArray> message = trade.received().first();
    ASSERT_EQ(message.size(), 1 + 3 * 3);
    EXPECT_EQ(message[0], QByteArray("\xA7\xA7\xA7-SendFileList-\xA7\xA7\xA7"));
    QMap<QByteArray, QPair<QByteArray, QByteArray>> files;
    for (int i = 1; i + 2 < message.size(); i += 3)
        files[message[i]] = {message[i + 1], message[i + 2]};
    EXPECT_EQ(files.value("notes.txt"), qMakePair(QByteArray("txt"), QByteArray("5")));
    EXPECT_EQ(files.value("README"), qMakePair(QByteArray(" "), QByteArray("0")));
    // Names windows-1252 can carry travel as its bytes ("é" 0xE9, "€" 0x80).
    EXPECT_EQ(files.value("R\xE9sum\xE9 \x80.doc"), qMakePair(QByteArray("doc"), QByteArray("1")));
    EXPECT_TRUE(chat.received().isEmpty());
    EXPECT_TRUE(plot.received().isEmpty());
}
