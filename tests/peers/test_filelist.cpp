// A successful Connect sends this copy's file list on the trade channel: the first line names the
// message, then name, type and size of every offered file, each on a line of its own.

#include "support/TwoCopies.h"

#include "net/TcpChannel.h"

#include <QFile>
#include <QLineEdit>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <mutex>

namespace {
// Stands in for one of the peer's line listeners and keeps every message it receives.
struct RecordingListener {
    TTcpServer server;
    std::mutex mutex;
    QList<QList<QByteArray>> messages;
    RecordingListener() {
        server.setLocalHost("127.0.0.1");
        server.setLocalPort("0");
        server.OnAccept = [this](TTcpServer*, TCustomIpClient* client) {
            QList<QByteArray> lines;
            for (QByteArray line = client->ReceiveLine(); !line.isEmpty();
                 line = client->ReceiveLine())
                lines << line;
            std::lock_guard lock(mutex);
            if (!lines.isEmpty())
                messages << lines;
        };
        server.Open();
    }
    QString port() const { return QString::number(server.boundPort()); }
    QList<QList<QByteArray>> received() {
        std::lock_guard lock(mutex);
        return messages;
    }
};

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}
} // namespace

TEST(FileList, ConnectSendsTheLocalListingWithEmptyTypesCarriedAsOneSpace) {
    RecordingListener chat, trade, plot;
    auto [local, remote] = freePortSets();
    remote.chat = chat.port();
    remote.trade = trade.port();
    remote.plot = plot.port();
    auto copy = makeCopy(local, remote, "Gus");
    writeFile(copy->tradeFolder() + "notes.txt", "12345");
    writeFile(copy->tradeFolder() + "README", "");
    writeFile(copy->tradeFolder() + "Résumé €.doc", "x");
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
