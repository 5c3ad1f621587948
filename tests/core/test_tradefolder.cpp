#include "trade/TradeFolder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace {

void writeBytes(const QString& path, qint64 size) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_EQ(f.write(QByteArray(size, 'x')), size);
}

std::map<QString, TradeFileEntry> byName(const QList<TradeFileEntry>& entries) {
    std::map<QString, TradeFileEntry> out;
    for (const auto& e : entries)
        out[e.name] = e;
    return out;
}

} // namespace

TEST(TradeFolder, TypeText) {
    EXPECT_EQ(fileTypeText("photo.jpg"), "jpg");
    EXPECT_EQ(fileTypeText("archive.tar.gz"), "gz");
    EXPECT_EQ(fileTypeText("README"), "");
    EXPECT_EQ(fileTypeText(".bashrc"), "bashrc");
    EXPECT_EQ(fileTypeText("name."), "");
    EXPECT_EQ(fileTypeText(""), "");
}

TEST(TradeFolder, SizeText) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString small = dir.filePath("small.bin");
    writeBytes(small, 1234);
    EXPECT_EQ(fileSizeText(small), "1234");
    writeBytes(small, 0);
    EXPECT_EQ(fileSizeText(small), "0");
    EXPECT_EQ(fileSizeText(dir.filePath("none.bin")), "-1");

    // Sizes are the low 32 bits read as signed: a sparse file of 3 GiB shows as negative.
    const QString big = dir.filePath("big.bin");
    QFile f(big);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    const qint64 threeGiB = qint64(3) << 30;
    if (f.resize(threeGiB)) {
        f.close();
        EXPECT_EQ(fileSizeText(big), QString::number(threeGiB - (qint64(1) << 32)));
    }
}

TEST(TradeFolder, ListsRegularFilesOnly) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString prefix = dir.path() + "/";
    writeBytes(prefix + "a.txt", 3);
    writeBytes(prefix + ".hidden", 7);
    writeBytes(prefix + "noext", 0);
    writeBytes(prefix + "Ж.dat", 5);
    writeBytes(prefix + "line\nbreak.txt", 1);
    ASSERT_TRUE(QDir().mkpath(prefix + "subdir.d"));
    writeBytes(prefix + "subdir.d/inner.txt", 1);
    // A link planted by someone who may write the folder, to a file of this user's elsewhere.
    QTemporaryDir elsewhere;
    writeBytes(elsewhere.path() + "/id_ed25519", 9);
    ASSERT_TRUE(QFile::link(elsewhere.path() + "/id_ed25519", prefix + "photo.jpg"));
    ASSERT_TRUE(QFile::link(prefix + "a.txt", prefix + "link.txt"));
    ASSERT_TRUE(QFile::link(prefix + "gone", prefix + "dangling"));

    const auto entries = listTradeFolder(prefix);
    const auto map = byName(entries);
    EXPECT_EQ(entries.size(), 4);
    EXPECT_EQ(map.size(), 4u);
    ASSERT_TRUE(map.count("a.txt"));
    EXPECT_EQ(map.at("a.txt").type, "txt");
    EXPECT_EQ(map.at("a.txt").size, "3");
    ASSERT_TRUE(map.count(".hidden"));
    EXPECT_EQ(map.at(".hidden").type, "hidden");
    EXPECT_EQ(map.at(".hidden").size, "7");
    ASSERT_TRUE(map.count("noext"));
    EXPECT_EQ(map.at("noext").type, "");
    EXPECT_EQ(map.at("noext").size, "0");
    ASSERT_TRUE(map.count("Ж.dat"));
    EXPECT_EQ(map.at("Ж.dat").size, "5");
    EXPECT_FALSE(map.count("photo.jpg")); // no symbolic link, wherever it leads
    EXPECT_FALSE(map.count("link.txt"));
    EXPECT_FALSE(map.count("subdir.d"));
    EXPECT_FALSE(map.count("inner.txt"));
    EXPECT_FALSE(map.count("dangling"));
    EXPECT_FALSE(map.count("line\nbreak.txt"));
}

TEST(TradeFolder, PrefixIsPlainText) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    EXPECT_TRUE(listTradeFolder(dir.filePath("missing") + "/").isEmpty());
    EXPECT_TRUE(listTradeFolder(dir.path() + "/").isEmpty());

    writeBytes(dir.filePath("picture.png"), 2);
    writeBytes(dir.filePath("other.png"), 2);
    // Without the closing separator the prefix's last part selects names that start with it.
    const auto entries = listTradeFolder(dir.filePath("pic"));
    ASSERT_EQ(entries.size(), 1);
    EXPECT_EQ(entries[0].name, "picture.png");
    EXPECT_EQ(entries[0].size, "2");
}
