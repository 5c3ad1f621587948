// The drawing board of the main window driven by real mouse events: squares, queued records, the
// pump timer around a stroke, the colour choice and its swatch, "Clear Image" and the keeper.

#include "support/BoardProbe.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QWindow>

#include <gtest/gtest.h>

namespace {

std::deque<QString> records(std::initializer_list<const char*> texts) {
    std::deque<QString> out;
    for (const char* t : texts)
        out.push_back(QString::fromLatin1(t));
    return out;
}

QRgb swatchColor(const TForm1& form) {
    const QImage shown = form.StaticText1->grab().toImage();
    return shown.pixel(shown.rect().center());
}

int nonWhitePixels(const QImage& image) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += image.pixel(x, y) != platformColorToRgb(kWhite);
    return count;
}

} // namespace

TEST(Canvas, ClicksOfAnyButtonPaintOneSquareAndQueueTwoRecords) {
    auto copy = boardCopy();
    TForm1& f = *copy->form;
    f.Timer3->stop();
    const QImage blank = f.board->snapshot();

    QTest::mouseClick(f.Image2, Qt::LeftButton, Qt::NoModifier, QPoint(30, 40));
    EXPECT_EQ(f.PlotQueue, records({"30 40 0", "30 40 0"}));
    EXPECT_TRUE(squareHas(f, QPoint(30, 40), kBlack));
    EXPECT_EQ(changedPixels(blank, f.board->snapshot()).size(), 4);
    EXPECT_FALSE(f.StrokeActive);
    // The view shows the bitmap at its top-left corner at scale 1.
    EXPECT_EQ(f.Image2->grab().toImage().pixel(31, 41), platformColorToRgb(kBlack));

    QTest::mouseClick(f.Image2, Qt::RightButton, Qt::NoModifier, QPoint(60, 40));
    QTest::mouseClick(f.Image2, Qt::MiddleButton, Qt::NoModifier, QPoint(90, 41));
    EXPECT_EQ(f.PlotQueue,
              records({"30 40 0", "30 40 0", "60 40 0", "60 40 0", "90 41 0", "90 41 0"}));
    EXPECT_TRUE(squareHas(f, QPoint(60, 40), kBlack));
    EXPECT_TRUE(squareHas(f, QPoint(90, 41), kBlack));

    // Moving with no button outside a stroke paints and queues nothing.
    const QImage before = f.board->snapshot();
    moveOn(f.Image2, QPoint(120, 40));
    moveOn(f.Image2, QPoint(121, 42));
    EXPECT_EQ(f.PlotQueue.size(), 6u);
    EXPECT_TRUE(changedPixels(before, f.board->snapshot()).isEmpty());
}

TEST(Canvas, DoubleClickThroughTheWindowDrawsLikeTwoClicks) {
    auto copy = boardCopy();
    TForm1& f = *copy->form;
    f.Timer3->stop();
    // Through the window, as the platform delivers it: the second press arrives as a double click
    // alone, which draws like a press.
    const QPoint at = f.Image2->mapTo(&f, QPoint(70, 80));
    QTest::mouseDClick(f.windowHandle(), Qt::LeftButton, Qt::NoModifier, at);
    EXPECT_EQ(f.PlotQueue, records({"70 80 0", "70 80 0", "70 80 0", "70 80 0"}));
    EXPECT_TRUE(squareHas(f, QPoint(70, 80), kBlack));
    EXPECT_FALSE(f.StrokeActive);
}

TEST(Canvas, StrokeStopsThePumpAndQueuesPointsBeyondTheEdges) {
    auto copy = boardCopy();
    TForm1& f = *copy->form;
    f.Timer3->stop();
    const int w = f.Image2->width();

    pressOn(f.Image2, QPoint(10, 10));
    EXPECT_TRUE(f.StrokeActive);
    EXPECT_FALSE(f.Timer2->isActive());
    moveOn(f.Image2, QPoint(20, 10), Qt::LeftButton);
    moveOn(f.Image2, QPoint(-5, -7), Qt::LeftButton);
    moveOn(f.Image2, QPoint(w + 10, 30), Qt::LeftButton);
    EXPECT_FALSE(f.Timer2->isActive());
    // The left button released outside the view still ends the stroke.
    releaseOn(f.Image2, QPoint(-3, -4));
    EXPECT_FALSE(f.StrokeActive);
    const std::deque<QString> expected{"10 10 0", "20 10 0", "-5 -7 0",
                                       QStringLiteral("%1 30 0").arg(w + 10), "-3 -4 0"};
    EXPECT_EQ(f.PlotQueue, expected);
    // Only the two squares inside the view show.
    EXPECT_TRUE(squareHas(f, QPoint(10, 10), kBlack));
    EXPECT_TRUE(squareHas(f, QPoint(20, 10), kBlack));
    EXPECT_EQ(nonWhitePixels(f.board->snapshot()), 8);

    // A right-button stroke released outside the view never ends: moves over the board with no
    // button go on drawing until a button is released over the board.
    f.PlotQueue.clear();
    pressOn(f.Image2, QPoint(40, 40), Qt::RightButton);
    moveOn(f.Image2, QPoint(-10, -10), Qt::RightButton); // outside, not held: not reported
    releaseOn(f.Image2, QPoint(-10, -10), Qt::RightButton);
    EXPECT_TRUE(f.StrokeActive);
    EXPECT_FALSE(f.Timer2->isActive());
    moveOn(f.Image2, QPoint(50, 50));
    EXPECT_TRUE(squareHas(f, QPoint(50, 50), kBlack));
    EXPECT_EQ(f.PlotQueue, records({"40 40 0", "50 50 0"}));
    releaseOn(f.Image2, QPoint(60, 50), Qt::RightButton);
    EXPECT_FALSE(f.StrokeActive);
    EXPECT_EQ(f.PlotQueue.back(), "60 50 0");
}

TEST(Canvas, ChosenColourAppliesFromTheNextEventAndShowsInTheSwatch) {
    auto copy = boardCopy();
    TForm1& f = *copy->form;
    std::optional<quint32> answer;
    QList<quint32> openedOn;
    answerDialogs(*copy, [&](quint32 current) {
        openedOn << current;
        return answer;
    });
    EXPECT_EQ(swatchColor(f), platformColorToRgb(kBlack));

    pressOn(f.Image2, QPoint(10, 10));
    moveOn(f.Image2, QPoint(14, 10), Qt::LeftButton);
    answer = kRed;
    QTest::mouseClick(f.SpeedButton3, Qt::LeftButton);
    EXPECT_EQ(f.DrawColor, kRed);
    EXPECT_EQ(swatchColor(f), platformColorToRgb(kRed));
    releaseOn(f.Image2, QPoint(18, 10));
    // Records already queued keep the colour they were made with.
    EXPECT_EQ(f.PlotQueue, records({"10 10 0", "14 10 0", "18 10 255"}));
    EXPECT_TRUE(squareHas(f, QPoint(14, 10), kBlack));
    EXPECT_TRUE(squareHas(f, QPoint(18, 10), kRed));

    // Cancelling changes nothing; the dialog opens on the colour last chosen.
    answer.reset();
    QTest::mouseClick(f.SpeedButton3, Qt::LeftButton);
    EXPECT_EQ(f.DrawColor, kRed);
    EXPECT_EQ(swatchColor(f), platformColorToRgb(kRed));
    answer = kBlue;
    QTest::mouseClick(f.SpeedButton3, Qt::LeftButton);
    EXPECT_EQ(openedOn, (QList<quint32>{kBlack, kRed, kRed}));
    EXPECT_EQ(swatchColor(f), platformColorToRgb(kBlue));
    QTest::mouseClick(f.Image2, Qt::LeftButton, Qt::NoModifier, QPoint(30, 30));
    EXPECT_EQ(f.PlotQueue.back(), "30 30 16711680");
    EXPECT_TRUE(squareHas(f, QPoint(30, 30), kBlue));
}

TEST(Canvas, ClearImageKeepsRowZeroOutlinesInThePresentColourAndDropsTheQueue) {
    auto copy = boardCopy();
    TForm1& f = *copy->form;
    f.Timer3->stop();
    answerDialogs(*copy, [](quint32) { return std::optional<quint32>(kGreen); });
    QTest::mouseClick(f.SpeedButton3, Qt::LeftButton);
    QTest::mouseClick(f.Image2, Qt::LeftButton, Qt::NoModifier, QPoint(5, 0));
    QTest::mouseClick(f.Image2, Qt::LeftButton, Qt::NoModifier, QPoint(40, 40));
    ASSERT_EQ(f.PlotQueue.size(), 4u);

    QTest::mouseClick(f.Button6, Qt::LeftButton);
    const QImage cleared = f.board->snapshot();
    const int w = f.Image2->width();
    const int h = f.Image2->height();
    ASSERT_EQ(cleared.size(), QSize(w, h));
    const QRgb green = platformColorToRgb(kGreen);
    const QRgb white = platformColorToRgb(kWhite);
    // Row 0 is left as it was: the top half of the first square stays, the rest of it is border.
    EXPECT_EQ(cleared.pixel(5, 0), green);
    EXPECT_EQ(cleared.pixel(7, 0), white);
    // The border of the cleared area takes the stroke's colour, the inside turns white.
    for (int x = 0; x < w; x += 7) {
        EXPECT_EQ(cleared.pixel(x, 1), green) << x;
        EXPECT_EQ(cleared.pixel(x, h - 1), green) << x;
    }
    for (int y = 1; y < h; y += 7) {
        EXPECT_EQ(cleared.pixel(0, y), green) << y;
        EXPECT_EQ(cleared.pixel(w - 1, y), green) << y;
    }
    EXPECT_EQ(cleared.pixel(40, 40), white);
    EXPECT_EQ(cleared.pixel(1, 2), white);
    EXPECT_EQ(cleared.pixel(w - 2, h - 2), white);
    EXPECT_TRUE(f.PlotQueue.empty());
    EXPECT_EQ(f.board->fillColor(), kWhite);

    // After a keeper call the outline colour is white, and so is the border of the next clear.
    f.Timer3Timer();
    QTest::mouseClick(f.Button6, Qt::LeftButton);
    const QImage again = f.board->snapshot();
    EXPECT_EQ(again.pixel(20, 1), white);
    EXPECT_EQ(again.pixel(0, 20), white);
    EXPECT_EQ(again.pixel(5, 0), green);
}

TEST(Canvas, KeeperWhitensTheLastRowAndColumnAndFollowsTheWindowSize) {
    auto copy = boardCopy();
    TForm1& f = *copy->form;
    const int w0 = f.Image2->width();
    const int h0 = f.Image2->height();
    EXPECT_EQ(f.Timer3->interval(), 1500);
    EXPECT_TRUE(f.Timer3->isActive());
    f.Image2MouseDown(w0 - 2, 10);
    f.Image2MouseUp(10, h0 - 2);
    ASSERT_TRUE(squareHas(f, QPoint(w0 - 2, 10), kBlack));
    // The running keeper whitens the last column and row; the rest of both squares stays.
    ASSERT_TRUE(
        waitUntil([&] { return boardPixel(f, w0 - 1, 10) == 0xFFFFFFFF; }, kKeeperDeadlineMs));
    EXPECT_EQ(boardPixel(f, w0 - 2, 11), platformColorToRgb(kBlack));
    EXPECT_EQ(boardPixel(f, 10, h0 - 1), platformColorToRgb(kWhite));
    EXPECT_EQ(boardPixel(f, 11, h0 - 2), platformColorToRgb(kBlack));

    // Shrinking cuts pixels for good; growing adds area in the fill colour of that moment.
    f.Timer3->stop();
    f.Image2MouseDown(w0 - 12, 20);
    f.Image2MouseUp(w0 - 12, 20);
    const QSize window = f.size();
    f.resize(window.width() - 200, window.height() - 100);
    ASSERT_TRUE(waitUntil([&] { return f.board->size() == f.Image2->size(); }));
    const int w1 = f.Image2->width();
    const int h1 = f.Image2->height();
    ASSERT_LT(w1, w0 - 12);
    ASSERT_LT(h1, h0 - 2);
    f.setDrawColor(kBlue);
    f.Image2MouseDown(5, 5); // leaves blue as the fill colour
    f.Image2MouseUp(5, 5);
    f.resize(window);
    ASSERT_TRUE(waitUntil([&] { return f.board->size() == QSize(w0, h0); }));
    const QImage grown = f.board->snapshot();
    const QRgb blue = platformColorToRgb(kBlue);
    const QRgb white = platformColorToRgb(kWhite);
    EXPECT_EQ(grown.pixel(w0 - 12, 20), blue); // the cut squares do not come back
    EXPECT_EQ(grown.pixel(w0 - 2, 11), blue);
    EXPECT_EQ(grown.pixel(11, h0 - 2), blue);
    EXPECT_EQ(grown.pixel(w1, 20), blue);
    EXPECT_EQ(grown.pixel(w1 - 1, 20), white); // the last column of the small board
    EXPECT_EQ(grown.pixel(30, h1 - 1), white);
    EXPECT_EQ(grown.pixel(w0 - 1, 20), white); // whitened again at the new edges
    EXPECT_EQ(grown.pixel(30, h0 - 1), white);
    EXPECT_EQ(grown.pixel(6, 6), blue); // old pixels stay at the top-left
    EXPECT_EQ(grown.pixel(20, 20), white);
    EXPECT_EQ(f.board->fillColor(), kWhite);
    EXPECT_EQ(f.board->outlineColor(), kWhite);
}

TEST(Canvas, BoardHasTheViewsSizeAsSoonAsTheWindowShows) {
    Copy copy;
    startForm(copy);
    TForm1& f = *copy.form;
    EXPECT_GT(f.Image2->width(), 300);
    EXPECT_EQ(f.board->size(), f.Image2->size());
    const QImage board = f.board->snapshot();
    EXPECT_EQ(board.pixel(board.width() / 2, board.height() / 2), platformColorToRgb(kWhite));
    // A square far from the corner is drawable at once, before the keeper's first tick.
    f.Image2MouseDown(300, 200);
    f.Image2MouseUp(300, 200);
    EXPECT_TRUE(squareHas(f, QPoint(300, 200), kBlack));
}
