// The snapshot slots through their buttons: Save and Restore against the board, the 16-colour
// initial picture, and Save to file writing BMP whatever the name, replacing, cancelling and
// failing with the error box.

#include "support/BoardProbe.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtEndian>

#include <gtest/gtest.h>

namespace {

// Offsets into a BMP file's headers.
constexpr int kFileSizeAt = 2;
constexpr int kWidthAt = 18;
constexpr int kHeightAt = 22;
constexpr int kBitsPerPixelAt = 28;
constexpr int kCompressionAt = 30;

enum SlotButton { kSave = 0, kRestore = 5, kToFile = 10 };

void click(TForm1& form, SlotButton kind, int slot) {
    QTest::mouseClick(form.slotButtons[kind + slot], Qt::LeftButton);
}

void drawSquares(TForm1& form, quint32 color, const QList<QPoint>& points) {
    form.setDrawColor(color);
    for (const QPoint& p : points)
        QTest::mouseClick(form.Image2, Qt::LeftButton, Qt::NoModifier, p);
}

bool samePixels(const QImage& a, const QImage& b) {
    return a.size() == b.size() &&
           a.convertToFormat(QImage::Format_RGB32) == b.convertToFormat(QImage::Format_RGB32);
}

bool allWhite(const QImage& image, const QRect& area) {
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (image.pixel(x, y) != platformColorToRgb(kWhite))
                return false;
    return true;
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

template <class T> T fieldAt(const QByteArray& bytes, int offset) {
    return qFromLittleEndian<T>(bytes.constData() + offset);
}

} // namespace

TEST(Snapshots, SaveAndRestoreCopyTheBoardBothWays) {
    auto copy = boardCopy();
    TForm1& f = *copy->form;
    f.Timer3->stop();
    drawSquares(f, kRed, {QPoint(10, 10), QPoint(40, 12)});
    drawSquares(f, kGreen, {QPoint(11, 11)});
    click(f, kSave, 0);
    const QImage saved = f.board->snapshot();
    EXPECT_TRUE(samePixels(f.slotPictures[0], saved));
    // The view holds the copy and shows it stretched over its 145 x 89 pixels.
    EXPECT_EQ(f.slotViews[0]->pixmap().size(), saved.size());
    EXPECT_TRUE(f.slotViews[0]->hasScaledContents());
    EXPECT_EQ(f.slotViews[0]->size(), QSize(145, 89));

    // Drawing after Save leaves the slot as it was.
    drawSquares(f, kGreen, {QPoint(60, 60), QPoint(10, 10)});
    EXPECT_TRUE(samePixels(f.slotPictures[0], saved));

    f.Image2MouseDown(70, 70); // leaves green as fill and outline colour
    click(f, kRestore, 0);
    EXPECT_TRUE(samePixels(f.board->snapshot(), saved));
    EXPECT_EQ(f.board->snapshot().format(), saved.format());
    EXPECT_EQ(f.board->fillColor(), kWhite);
    EXPECT_EQ(f.board->outlineColor(), kBlack);
    f.Image2MouseUp(70, 70);

    // Drawing after Restore leaves the slot as it was too; the PlotQueue was not touched.
    EXPECT_TRUE(samePixels(f.slotPictures[0], saved));
    EXPECT_EQ(f.PlotQueue.size(), 12u);

    // A clear right after a restore outlines in the new bitmap's black.
    click(f, kRestore, 0);
    QTest::mouseClick(f.Button6, Qt::LeftButton);
    const QImage cleared = f.board->snapshot();
    EXPECT_EQ(cleared.pixel(30, 1), platformColorToRgb(kBlack));
    EXPECT_EQ(cleared.pixel(0, 30), platformColorToRgb(kBlack));
    EXPECT_EQ(cleared.pixel(30, 30), platformColorToRgb(kWhite));
}

TEST(Snapshots, NeverSavedSlotRestoresTheWhiteSixteenColourPicture) {
    auto copy = boardCopy();
    TForm1& f = *copy->form;
    const QSize view = f.Image2->size();
    ASSERT_GT(view.width(), 200);
    ASSERT_GT(view.height(), 200);
    drawSquares(f, kRed, {QPoint(20, 20)});

    click(f, kRestore, 2);
    const QImage restored = f.board->snapshot();
    EXPECT_EQ(restored.size(), QSize(200, 200));
    EXPECT_EQ(restored.colorCount(), 16);
    EXPECT_TRUE(allWhite(restored, restored.rect()));

    // The keeper brings it back to the view's size, the added area white, the format kept.
    ASSERT_TRUE(waitUntil([&] { return f.board->size() == view; }, kKeeperDeadlineMs));
    const QImage fitted = f.board->snapshot();
    EXPECT_EQ(fitted.format(), restored.format());
    EXPECT_EQ(fitted.colorTable(), restored.colorTable());
    EXPECT_TRUE(allWhite(fitted, fitted.rect()));

    // Painting keeps the 16 colours; pure red is one of them.
    drawSquares(f, kRed, {QPoint(250, 30)});
    EXPECT_TRUE(squareHas(f, QPoint(250, 30), kRed));
    EXPECT_EQ(f.board->snapshot().colorCount(), 16);
}

TEST(Snapshots, SaveToFileWritesBmpWhateverTheNameReplacesAndCancels) {
    auto copy = boardCopy();
    TForm1& f = *copy->form;
    f.Timer3->stop();
    QString answer;
    QStringList openedOn;
    answerDialogs(
        *copy, [](quint32) { return std::optional<quint32>(); },
        [&](const QString& last) {
            openedOn << last;
            return answer;
        });
    drawSquares(f, kRed, {QPoint(3, 4), QPoint(100, 50)});
    click(f, kSave, 0);

    // An existing, longer file of that name is replaced entirely.
    const QString picture = copy->folder.filePath("picture.jpg");
    QFile old(picture);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(4 * 1024 * 1024, 'x'));
    old.close();
    answer = picture;
    click(f, kToFile, 0);
    const QByteArray bytes = fileBytes(picture);
    ASSERT_GT(bytes.size(), 54);
    EXPECT_EQ(bytes.left(2), QByteArray("BM"));
    EXPECT_EQ(fieldAt<quint32>(bytes, kFileSizeAt), quint32(bytes.size()));
    EXPECT_EQ(fieldAt<quint32>(bytes, kCompressionAt), 0u);
    EXPECT_EQ(fieldAt<quint16>(bytes, kBitsPerPixelAt), 24);
    const QImage read = QImage::fromData(bytes, "BMP");
    EXPECT_EQ(read.size(), f.slotPictures[0].size());
    EXPECT_TRUE(samePixels(read, f.slotPictures[0]));

    // A slot never saved into writes its initial picture: 200 x 200, 4 bits, white.
    const QString blank = copy->folder.filePath("blank.jpg");
    answer = blank;
    click(f, kToFile, 4);
    const QByteArray blankBytes = fileBytes(blank);
    ASSERT_GT(blankBytes.size(), 54);
    EXPECT_EQ(blankBytes.left(2), QByteArray("BM"));
    EXPECT_EQ(fieldAt<qint32>(blankBytes, kWidthAt), 200);
    EXPECT_EQ(fieldAt<qint32>(blankBytes, kHeightAt), 200);
    EXPECT_EQ(fieldAt<quint16>(blankBytes, kBitsPerPixelAt), 4);
    const QImage blankRead = QImage::fromData(blankBytes, "BMP");
    EXPECT_EQ(blankRead.size(), QSize(200, 200));
    EXPECT_TRUE(allWhite(blankRead, blankRead.rect()));

    // Cancelling writes nothing; the dialog opens on the name last chosen.
    const QStringList before = QDir(copy->folder.path()).entryList(QDir::Files);
    answer.clear();
    click(f, kToFile, 1);
    EXPECT_EQ(QDir(copy->folder.path()).entryList(QDir::Files), before);
    EXPECT_EQ(openedOn, (QStringList{QString(), picture, blank}));
    EXPECT_TRUE(copy->errors.isEmpty());
}

TEST(Snapshots, UncreatableFileIsReportedAndNothingIsWritten) {
    auto copy = boardCopy();
    TForm1& f = *copy->form;
    const QString path = copy->folder.filePath("missing/folder/pic.jpg");
    answerDialogs(
        *copy, [](quint32) { return std::optional<quint32>(); },
        [&](const QString&) { return path; });
    const QImage slot = f.slotPictures[0];
    click(f, kToFile, 0);
    ASSERT_EQ(copy->errors.size(), 1);
    const QString prefix = QStringLiteral("Datei \"%1\" kann nicht erstellt werden. ").arg(path);
    const QString& error = copy->errors.first();
    EXPECT_TRUE(error.startsWith(prefix)) << error.toStdString();
    EXPECT_GT(error.size(), prefix.size() + 1); // the system's reason follows
    EXPECT_TRUE(error.endsWith('.'));
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_FALSE(QDir(copy->folder.filePath("missing")).exists());
    EXPECT_TRUE(samePixels(f.slotPictures[0], slot));
}
