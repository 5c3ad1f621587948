// The 152-byte header in front of every file on the download channel.

#include "trade/AskedFiles.h"
#include "trade/FileHeader.h"

#include <gtest/gtest.h>

TEST(FileHeader, EncodesMarkerNameAndTotalSizeAtTheirOffsets) {
    const QByteArray header = encodeFileHeader("photo.jpg", 1000);
    ASSERT_EQ(header.size(), 152);
    EXPECT_EQ(header.left(9), QByteArray("\x08New File"));
    EXPECT_EQ(header.mid(9, 22), QByteArray(22, '\0'));
    EXPECT_EQ(header[31], char(9));
    EXPECT_EQ(header.mid(32, 9), QByteArray("photo.jpg"));
    EXPECT_EQ(header.mid(41, 148 - 41), QByteArray(148 - 41, '\0'));
    EXPECT_EQ(header.mid(148, 4), QByteArray("\x80\x04\x00\x00", 4)); // 1152 = 0x480
    EXPECT_EQ(fileHeaderTotalSize(header), 1152);

    const auto decoded = decodeFileHeader(header);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->name, QByteArray("photo.jpg"));
    EXPECT_EQ(decoded->totalSize, 1152);

    // An empty file still carries its header's size; the largest sendable size stays positive.
    EXPECT_EQ(fileHeaderTotalSize(encodeFileHeader("e", 0)), 152);
    EXPECT_EQ(fileHeaderTotalSize(encodeFileHeader("big", kMaxSendableFileBytes)), 2147483646);
}

TEST(FileHeader, LongNamesAreCutToOneHundredBytes) {
    QByteArray name(120, 'n');
    name[99] = 'L';
    const QByteArray header = encodeFileHeader(name, 5);
    ASSERT_EQ(header.size(), 152);
    EXPECT_EQ(header[31], char(100));
    const auto decoded = decodeFileHeader(header);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->name, name.left(100));
    EXPECT_EQ(fileHeaderTotalSize(header), 157);
}

TEST(FileHeader, RefusesForeignMarkersAndNamesLeadingOutOfTheSaveFolder) {
    QByteArray header = encodeFileHeader("a.txt", 3);
    header[5] = 'f';
    EXPECT_FALSE(decodeFileHeader(header).has_value());
    EXPECT_EQ(fileHeaderTotalSize(header), 155); // the size still tells how much to skip
    header = encodeFileHeader("a.txt", 3);
    header[0] = 7;
    EXPECT_FALSE(decodeFileHeader(header).has_value());
    EXPECT_FALSE(decodeFileHeader(header.left(151)).has_value());

    for (const QByteArray& bad :
         {QByteArray("../evil"), QByteArray("dir/x"), QByteArray("c:x"), QByteArray("..\\x"),
          QByteArray("."), QByteArray(".."), QByteArray(""), QByteArray("a\0b", 3)})
        EXPECT_FALSE(decodeFileHeader(encodeFileHeader(bad, 1)).has_value()) << bad.toStdString();

    header = encodeFileHeader("ok", 1);
    header[31] = char(101);
    EXPECT_FALSE(decodeFileHeader(header).has_value());
    EXPECT_TRUE(decodeFileHeader(encodeFileHeader("..ok..", 1)).has_value());
}

TEST(FileHeader, BareNameIsTheTextAfterTheLastSeparator) {
    EXPECT_EQ(bareFileName("C:\\trade\\sub\\x.bin"), "x.bin");
    EXPECT_EQ(bareFileName("/home/u/trade/y z.txt"), "y z.txt");
    EXPECT_EQ(bareFileName("d:name"), "name");
    EXPECT_EQ(bareFileName("plain"), "plain");
    EXPECT_EQ(bareFileName("mixed\\a/b:c"), "c");
}

TEST(FileHeader, LongNamesAreCutWholeCharactersOnlyAndAskedNamesMatchTheCut) {
    const QByteArray cyrillic = QString(60, QChar(0x0416)).toUtf8(); // 120 bytes, 2 per character
    const QByteArray oddCut = "x" + cyrillic; // limit falls inside a character
    EXPECT_EQ(cutHeaderName(oddCut), oddCut.left(99));
    EXPECT_EQ(cutHeaderName(cyrillic), cyrillic.left(100));
    const QByteArray ansi = QByteArray(99, 'a') + "\xE9\xE9"; // windows-1252: one byte a character
    EXPECT_EQ(cutHeaderName(ansi), ansi.left(100));

    AskedFiles asked;
    asked.reset({oddCut, "twice.txt", "twice.txt"});
    EXPECT_TRUE(asked.take(decodeFileHeader(encodeFileHeader(oddCut, 1))->name));
    EXPECT_FALSE(asked.take(oddCut.left(99)));
    EXPECT_TRUE(asked.take("twice.txt"));
    EXPECT_TRUE(asked.take("twice.txt"));
    EXPECT_FALSE(asked.take("twice.txt"));
    EXPECT_TRUE(asked.empty());
}
