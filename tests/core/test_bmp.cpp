// BMP files: the bytes of the 16-colour slot picture, other depths read back by Qt, and file
// creation and replacement.
#include "board/Bmp.h"
#include "board/Board.h"
#include "common/ProgramError.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

namespace {

quint32 u32At(const QByteArray& bytes, int offset) {
    return qFromLittleEndian<quint32>(bytes.constData() + offset);
}

quint16 u16At(const QByteArray& bytes, int offset) {
    return qFromLittleEndian<quint16>(bytes.constData() + offset);
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return file.readAll();
}

void expectSamePixels(const QImage& written, const QImage& readBack) {
    ASSERT_EQ(readBack.size(), written.size());
    for (int y = 0; y < written.height(); ++y)
        for (int x = 0; x < written.width(); ++x)
            ASSERT_EQ(readBack.pixel(x, y) | 0xFF000000, written.pixel(x, y) | 0xFF000000)
                << x << "," << y;
}

} // namespace

TEST(Bmp, SixteenColourSlotPictureBytes) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("slot.jpg"));
    writeBmpFile(path, initialSlotPicture());
    const QByteArray bytes = readAll(path);
    ASSERT_EQ(bytes.size(), 14 + 40 + 64 + 200 * 100);
    EXPECT_EQ(bytes.left(2), QByteArray("BM"));
    EXPECT_EQ(u32At(bytes, 2), 20118u);
    EXPECT_EQ(u32At(bytes, 6), 0u);
    EXPECT_EQ(u32At(bytes, 10), 118u);
    EXPECT_EQ(u32At(bytes, 14), 40u);
    EXPECT_EQ(u32At(bytes, 18), 200u);
    EXPECT_EQ(u32At(bytes, 22), 200u);
    EXPECT_EQ(u16At(bytes, 26), 1u);
    EXPECT_EQ(u16At(bytes, 28), 4u);
    EXPECT_EQ(u32At(bytes, 30), 0u);
    EXPECT_EQ(u32At(bytes, 34), 20000u);
    EXPECT_EQ(u32At(bytes, 38), 2835u);
    EXPECT_EQ(u32At(bytes, 42), 2835u);
    EXPECT_EQ(u32At(bytes, 46), 16u);
    EXPECT_EQ(u32At(bytes, 50), 0u);
    const QList<QRgb> palette = vgaPalette();
    for (int i = 0; i < 16; ++i) {
        const int at = 54 + 4 * i;
        EXPECT_EQ(uchar(bytes[at]), qBlue(palette[i])) << i;
        EXPECT_EQ(uchar(bytes[at + 1]), qGreen(palette[i])) << i;
        EXPECT_EQ(uchar(bytes[at + 2]), qRed(palette[i])) << i;
        EXPECT_EQ(uchar(bytes[at + 3]), 0) << i;
    }
    EXPECT_EQ(bytes.mid(54 + 4 * 15, 4), QByteArray("\xFF\xFF\xFF\x00", 4));
    EXPECT_EQ(bytes.mid(54 + 4 * 9, 4), QByteArray("\x00\x00\xFF\x00", 4)); // red
    EXPECT_EQ(bytes.mid(118), QByteArray(20000, '\xFF'));
    EXPECT_EQ(bytes, encodeBmp(initialSlotPicture()));

    const QImage readBack(path); // found to be a BMP by its content, whatever the name says
    ASSERT_EQ(readBack.size(), QSize(200, 200));
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 200; ++x)
            ASSERT_EQ(readBack.pixel(x, y), qRgb(255, 255, 255)) << x << "," << y;
}

TEST(Bmp, FourBitRowsArePaddedAndBottomUp) {
    QImage picture(5, 3, QImage::Format_Indexed8);
    picture.setColorTable(vgaPalette().mid(0, 6)); // a short palette is padded to 16 entries
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x)
            picture.setPixel(x, y, (x + y) % 6);
    const QByteArray bytes = encodeBmp(picture);
    ASSERT_EQ(bytes.size(), 14 + 40 + 64 + 3 * 4);
    EXPECT_EQ(u16At(bytes, 28), 4u);
    EXPECT_EQ(u32At(bytes, 46), 16u);
    EXPECT_EQ(bytes.mid(54 + 4 * 6, 40), QByteArray(40, '\0'));
    // Bottom row (y = 2) first: indexes 2 3 4 5 0, high nibble first, padded with zeros.
    EXPECT_EQ(bytes.mid(118, 4), QByteArray("\x23\x45\x00\x00", 4));
    EXPECT_EQ(bytes.mid(122, 4), QByteArray("\x12\x34\x50\x00", 4));
    EXPECT_EQ(bytes.mid(126, 4), QByteArray("\x01\x23\x40\x00", 4));
    QImage readBack;
    ASSERT_TRUE(readBack.loadFromData(bytes, "BMP"));
    expectSamePixels(picture, readBack);
}

TEST(Bmp, OtherDepthsReadBackWithTheSamePixels) {
    TBoard board(7, 5);
    board.paintSquare(1, 1, 0x0000FF);
    board.paintSquare(5, 3, 0x123456);
    board.paintSquare(3, 0, 0xFF8000);
    const QImage rgb = board.snapshot();
    QByteArray bytes = encodeBmp(rgb);
    EXPECT_EQ(u16At(bytes, 28), 24u);
    EXPECT_EQ(bytes.size(), 54 + 5 * 24); // 7 * 3 = 21 bytes padded to 24
    QImage readBack;
    ASSERT_TRUE(readBack.loadFromData(bytes, "BMP"));
    expectSamePixels(rgb, readBack);

    QImage many(9, 4, QImage::Format_Indexed8);
    QList<QRgb> table;
    for (int i = 0; i < 20; ++i)
        table.append(qRgb(i * 12, 255 - i * 7, i * 3));
    many.setColorTable(table);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 9; ++x)
            many.setPixel(x, y, (x * 4 + y) % 20);
    bytes = encodeBmp(many);
    EXPECT_EQ(u16At(bytes, 28), 8u);
    EXPECT_EQ(u32At(bytes, 46), 20u);
    EXPECT_EQ(bytes.size(), 54 + 80 + 4 * 12);
    ASSERT_TRUE(readBack.loadFromData(bytes, "BMP"));
    expectSamePixels(many, readBack);

    QImage argb(3, 2, QImage::Format_ARGB32_Premultiplied);
    argb.fill(qRgb(10, 200, 30));
    argb.setPixel(2, 1, qRgb(250, 5, 99));
    bytes = encodeBmp(argb);
    EXPECT_EQ(u16At(bytes, 28), 32u);
    EXPECT_EQ(bytes.size(), 54 + 2 * 12);
    ASSERT_TRUE(readBack.loadFromData(bytes, "BMP"));
    expectSamePixels(argb, readBack);
}

TEST(Bmp, ReplacesExistingFileAndReportsMissingFolder) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("picture.bmp"));
    {
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(50000, 'x'));
    }
    TBoard board(4, 4);
    board.paintSquare(0, 0, 0xFF0000);
    writeBmpFile(path, board.snapshot());
    EXPECT_EQ(readAll(path), encodeBmp(board.snapshot()));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("picture.bmp")});

    const QString missing = dir.filePath(QStringLiteral("no-such-folder/picture.jpg"));
    const QString start = QStringLiteral("Datei \"%1\" kann nicht erstellt werden. ")
                              .arg(QDir::toNativeSeparators(missing));
    try {
        writeBmpFile(missing, initialSlotPicture());
        FAIL() << "no error for a missing folder";
    } catch (const ProgramError& error) {
        EXPECT_TRUE(error.message().startsWith(start)) << error.message().toStdString();
        EXPECT_GT(error.message().size(), start.size()) << "the system's reason is missing";
    }
    EXPECT_FALSE(QFile::exists(missing));
}
