#include "common/ProgramError.h"
#include "net/PeerList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "support/TestFiles.h"

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

} // namespace

TEST(PeerList, SavesAndLoadsEveryEntry) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(kPeerListFileName);
    EXPECT_TRUE(loadPeerList(path).isEmpty()); // no file yet

    const QStringList list = {"127.0.0.1", "", "Host.Example", "10.0.0.7"};
    savePeerList(path, list);
    EXPECT_EQ(readAll(path), QByteArray("127.0.0.1\r\n\r\nHost.Example\r\n10.0.0.7\r\n"));
    EXPECT_EQ(loadPeerList(path), list);

    // Deleting the last entry leaves a zero-byte file that loads as an empty list.
    savePeerList(path, {});
    EXPECT_TRUE(QFileInfo::exists(path));
    EXPECT_EQ(QFileInfo(path).size(), 0);
    EXPECT_TRUE(loadPeerList(path).isEmpty());

    // The empty address alone is one empty entry.
    savePeerList(path, {""});
    EXPECT_EQ(readAll(path), QByteArray("\r\n"));
    EXPECT_EQ(loadPeerList(path), QStringList({""}));
}

TEST(PeerList, ReadsEveryLineEnd) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(kPeerListFileName);
    const QStringList expected = {"a", "", "b", "c"};
    for (const char* bytes : {"a\n\nb\nc\n", "a\r\rb\rc", "a\r\n\nb\rc\r\n"}) {
        writeBytes(path, bytes);
        EXPECT_EQ(loadPeerList(path), expected) << bytes;
    }
    // A folder where the file should be cannot be opened.
    const QString folder = dir.filePath("asdir");
    ASSERT_TRUE(QDir().mkpath(folder));
    EXPECT_THROW(loadPeerList(folder), ProgramError);
}

TEST(PeerList, LooksUpIgnoringCase) {
    const QStringList list = {"Host.Example", "", "10.0.0.7"};
    EXPECT_TRUE(peerListContains(list, "host.example"));
    EXPECT_TRUE(peerListContains(list, "HOST.EXAMPLE"));
    EXPECT_TRUE(peerListContains(list, ""));
    EXPECT_TRUE(peerListContains(list, "10.0.0.7"));
    EXPECT_FALSE(peerListContains(list, "10.0.0.70"));
    EXPECT_FALSE(peerListContains(list, "host"));
    EXPECT_FALSE(peerListContains({}, ""));
}
