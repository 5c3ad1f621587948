// The board bitmap: pixel-exact painting, clearing, the keeper's resize, 16-colour boards and
// painting from several threads at once.
#include "board/Board.h"

#include <QImage>

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <thread>

namespace {

constexpr quint32 kRed = 0x0000FF; // platform colours 0x00BBGGRR
constexpr quint32 kGreen = 0x00FF00;
constexpr quint32 kBlue = 0xFF0000;
constexpr QRgb kWhiteRgb = 0xFFFFFFFF;

QRgb at(const TBoard& board, int x, int y) {
    return board.snapshot().pixel(x, y);
}

int indexAt(const TBoard& board, int x, int y) {
    return board.snapshot().pixelIndex(x, y);
}

} // namespace

TEST(Board, NewBoardIsWhiteWithDefaultPaintingState) {
    TBoard board(30, 20);
    const QImage image = board.snapshot();
    EXPECT_EQ(image.size(), QSize(30, 20));
    EXPECT_EQ(board.size(), QSize(30, 20));
    EXPECT_EQ(image.format(), QImage::Format_RGB32);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 30; ++x)
            ASSERT_EQ(image.pixel(x, y), kWhiteRgb) << x << "," << y;
    EXPECT_EQ(board.fillColor(), 0xFFFFFFu);
    EXPECT_EQ(board.outlineColor(), 0u);
}

TEST(Board, SquaresArePaintedSolidAndClipped) {
    TBoard board(20, 20);
    board.paintSquare(5, 7, kBlue);
    for (auto [x, y] : {std::pair{5, 7}, {6, 7}, {5, 8}, {6, 8}})
        EXPECT_EQ(at(board, x, y), qRgb(0, 0, 255));
    for (auto [x, y] : {std::pair{4, 7}, {7, 7}, {5, 6}, {5, 9}, {7, 9}})
        EXPECT_EQ(at(board, x, y), kWhiteRgb);
    EXPECT_EQ(board.fillColor(), kBlue);
    EXPECT_EQ(board.outlineColor(), kBlue);

    board.paintSquare(-1, -1, 0);
    EXPECT_EQ(at(board, 0, 0), qRgb(0, 0, 0));
    EXPECT_EQ(at(board, 1, 0), kWhiteRgb);
    EXPECT_EQ(at(board, 0, 1), kWhiteRgb);

    board.paintSquare(19, 19, kRed);
    EXPECT_EQ(at(board, 19, 19), qRgb(255, 0, 0));
    EXPECT_EQ(at(board, 18, 19), kWhiteRgb);

    const QImage before = board.snapshot();
    board.paintSquare(20, 5, kGreen);
    board.paintSquare(-2, 5, kGreen);
    board.paintSquare(INT_MAX, INT_MAX, kGreen);
    board.paintSquare(INT_MIN, INT_MIN, kGreen);
    EXPECT_EQ(board.snapshot(), before);

    // Only the low 24 bits of a colour count.
    board.paintSquare(10, 10, 0xFF00FF00u);
    EXPECT_EQ(at(board, 10, 10), qRgb(0, 255, 0));
    board.paintSquare(10, 10, static_cast<quint32>(-1));
    EXPECT_EQ(at(board, 11, 11), kWhiteRgb);
}

TEST(Board, RectangleHasOutlineBorderFillInsideAndExclusiveEdges) {
    TBoard board(12, 12);
    board.setOutlineColor(kRed);
    board.setFillColor(kGreen);
    board.paintRect(2, 3, 7, 8);
    const QImage image = board.snapshot();
    for (int y = 0; y < 12; ++y) {
        for (int x = 0; x < 12; ++x) {
            const bool inside = x >= 2 && x < 7 && y >= 3 && y < 8;
            const bool border = x == 2 || x == 6 || y == 3 || y == 7;
            const QRgb expected =
                !inside ? kWhiteRgb : (border ? qRgb(255, 0, 0) : qRgb(0, 255, 0));
            ASSERT_EQ(image.pixel(x, y), expected) << x << "," << y;
        }
    }

    board.paintRect(5, 5, 5, 9);
    board.paintRect(5, 5, 3, 9);
    board.paintRect(5, 9, 8, 9);
    EXPECT_EQ(board.snapshot(), image);

    // Clipped at the top-left: the border beyond the bitmap is gone, the fill reaches the edge.
    board.paintRect(-3, -3, 2, 2);
    EXPECT_EQ(at(board, 0, 0), qRgb(0, 255, 0));
    EXPECT_EQ(at(board, 1, 0), qRgb(255, 0, 0));
    EXPECT_EQ(at(board, 0, 1), qRgb(255, 0, 0));
    EXPECT_EQ(at(board, 2, 0), kWhiteRgb);
    // A rectangle one pixel wide is all border.
    board.paintRect(10, 0, 11, 5);
    for (int y = 0; y < 5; ++y)
        EXPECT_EQ(at(board, 10, y), qRgb(255, 0, 0));
}

TEST(Board, ClearKeepsRowZeroAndBordersInPresentOutlineColour) {
    TBoard board(30, 20);
    board.paintSquare(0, 0, kRed);
    board.paintSquare(25, 5, kGreen); // outside the cleared view area
    board.paintSquare(8, 8, kBlue);
    board.clear(20, 15);
    EXPECT_EQ(at(board, 0, 0), qRgb(255, 0, 0));
    EXPECT_EQ(at(board, 1, 0), qRgb(255, 0, 0));
    const QRgb blue = qRgb(0, 0, 255);
    for (int x = 0; x < 20; ++x) {
        EXPECT_EQ(at(board, x, 1), blue) << x;
        EXPECT_EQ(at(board, x, 14), blue) << x;
    }
    for (int y = 1; y < 15; ++y) {
        EXPECT_EQ(at(board, 0, y), blue) << y;
        EXPECT_EQ(at(board, 19, y), blue) << y;
    }
    EXPECT_EQ(at(board, 8, 8), kWhiteRgb);
    EXPECT_EQ(at(board, 1, 2), kWhiteRgb);
    EXPECT_EQ(at(board, 25, 5), qRgb(0, 255, 0));
    EXPECT_EQ(at(board, 5, 15), kWhiteRgb);
    EXPECT_EQ(board.fillColor(), 0xFFFFFFu);
    EXPECT_EQ(board.outlineColor(), kBlue);
}

TEST(Board, KeeperWhitensLastRowAndColumnOnEveryCall) {
    TBoard board(20, 10);
    board.paintSquare(18, 8, kRed);
    board.paintSquare(4, 4, kRed);
    board.fitToView(20, 10);
    EXPECT_EQ(board.size(), QSize(20, 10));
    EXPECT_EQ(at(board, 18, 8), qRgb(255, 0, 0));
    EXPECT_EQ(at(board, 19, 8), kWhiteRgb);
    EXPECT_EQ(at(board, 18, 9), kWhiteRgb);
    EXPECT_EQ(at(board, 19, 9), kWhiteRgb);
    EXPECT_EQ(at(board, 4, 4), qRgb(255, 0, 0));
    EXPECT_EQ(board.fillColor(), 0xFFFFFFu);
    EXPECT_EQ(board.outlineColor(), 0xFFFFFFu);

    board.paintSquare(0, 8, kGreen);
    board.fitToView(20, 10);
    EXPECT_EQ(at(board, 0, 8), qRgb(0, 255, 0));
    EXPECT_EQ(at(board, 0, 9), kWhiteRgb);
}

TEST(Board, GrowAddsPresentFillColourAndShrinkLosesPixels) {
    TBoard board(10, 10);
    board.paintSquare(2, 2, kRed); // leaves red as the fill colour
    board.fitToView(15, 12);
    EXPECT_EQ(board.size(), QSize(15, 12));
    EXPECT_EQ(at(board, 2, 2), qRgb(255, 0, 0));
    EXPECT_EQ(at(board, 5, 5), kWhiteRgb);
    EXPECT_EQ(at(board, 12, 5), qRgb(255, 0, 0));
    EXPECT_EQ(at(board, 5, 10), qRgb(255, 0, 0));
    EXPECT_EQ(at(board, 14, 5), kWhiteRgb);
    EXPECT_EQ(at(board, 5, 11), kWhiteRgb);

    TBoard cut(10, 10);
    cut.paintSquare(6, 6, kBlue);
    cut.fitToView(5, 5);
    EXPECT_EQ(cut.size(), QSize(5, 5));
    cut.fitToView(10, 10);
    EXPECT_EQ(at(cut, 6, 6), kWhiteRgb);
    EXPECT_EQ(at(cut, 7, 7), kWhiteRgb);

    cut.fitToView(5, 5);
    cut.paintSquare(1, 1, kGreen);
    cut.fitToView(8, 5);
    EXPECT_EQ(at(cut, 6, 2), qRgb(0, 255, 0));
    cut.fitToView(0, 0);
    EXPECT_EQ(cut.size(), QSize(0, 0));
    cut.fitToView(4, 4);
    EXPECT_EQ(cut.snapshot().format(), QImage::Format_RGB32);
    EXPECT_EQ(at(cut, 1, 1), kWhiteRgb);
}

TEST(Board, SixteenColourBoardKeepsFormatAndMapsToNearestEntry) {
    TBoard board(50, 50);
    board.paintSquare(3, 3, kRed);
    board.replaceWith(initialSlotPicture());
    EXPECT_EQ(board.fillColor(), 0xFFFFFFu);
    EXPECT_EQ(board.outlineColor(), 0u);
    QImage image = board.snapshot();
    EXPECT_EQ(image.size(), QSize(200, 200));
    EXPECT_EQ(image.format(), QImage::Format_Indexed8);
    EXPECT_EQ(image.colorTable(), vgaPalette());
    EXPECT_EQ(image.pixelIndex(3, 3), kVgaWhiteIndex);

    board.paintSquare(10, 10, 0x0000FE); // almost pure red -> red (9)
    EXPECT_EQ(indexAt(board, 11, 11), 9);
    board.paintSquare(20, 20, 0x8080FF); // rgb(255,128,128) -> silver (7)
    EXPECT_EQ(indexAt(board, 20, 20), 7);
    board.paintSquare(30, 30, 0x000040); // equally far from black and maroon -> black (0)
    EXPECT_EQ(indexAt(board, 30, 30), 0);
    board.paintSquare(30, 30, 0x000041); // nearer maroon (1)
    EXPECT_EQ(indexAt(board, 30, 30), 1);

    board.paintSquare(40, 40, kBlue);
    board.fitToView(300, 250);
    image = board.snapshot();
    EXPECT_EQ(image.format(), QImage::Format_Indexed8);
    EXPECT_EQ(image.colorTable(), vgaPalette());
    EXPECT_EQ(image.pixelIndex(250, 100), 12); // grown area in the fill colour, blue
    EXPECT_EQ(image.pixelIndex(299, 100), kVgaWhiteIndex);
    EXPECT_EQ(image.pixelIndex(100, 249), kVgaWhiteIndex);
    EXPECT_EQ(image.pixelIndex(10, 10), 9);

    board.paintSquare(100, 100, kGreen); // rgb(0,255,0) -> lime (10)
    board.clear(300, 250);
    image = board.snapshot();
    EXPECT_EQ(image.format(), QImage::Format_Indexed8);
    EXPECT_EQ(image.pixelIndex(100, 100), kVgaWhiteIndex);
    EXPECT_EQ(image.pixelIndex(0, 100), 10); // border in the outline colour
    EXPECT_EQ(image.pixelIndex(10, 0), kVgaWhiteIndex);
}

TEST(Board, RestoreGivesBackSnapshotAndSnapshotsAreCopies) {
    TBoard board(40, 30);
    board.paintSquare(5, 5, kRed);
    const quint64 before = board.generation();
    const QImage saved = board.snapshot();
    board.paintSquare(10, 10, kBlue);
    EXPECT_GT(board.generation(), before);
    EXPECT_EQ(saved.pixel(10, 10), kWhiteRgb);

    board.fitToView(60, 50);
    board.replaceWith(saved);
    EXPECT_EQ(board.snapshot(), saved);
    EXPECT_EQ(board.size(), QSize(40, 30));
    EXPECT_EQ(board.fillColor(), 0xFFFFFFu);
    EXPECT_EQ(board.outlineColor(), 0u);
    board.paintSquare(20, 20, kGreen);
    EXPECT_EQ(saved.pixel(20, 20), kWhiteRgb);

    int readWidth = 0;
    board.read([&](const QImage& image) { readWidth = image.width(); });
    EXPECT_EQ(readWidth, 40);
}

TEST(Board, ConcurrentSquaresNeverMixColours) {
    // Squares on a 2-pixel grid. Squares of the upper part belong to one painter each, alternating
    // like a chequerboard; squares of the lower part are painted by both.
    constexpr int kSide = 48;
    constexpr int kSharedFromRow = 32;
    constexpr int kRounds = 1000;
    TBoard board(kSide, kSide);
    const QRgb colours[2] = {qRgb(255, 0, 0), qRgb(0, 0, 255)};
    const auto owner = [](int x, int y) { return (x / 2 + y / 2) % 2; };
    // Every square must be solid, and an owned square white or in its owner's colour.
    const auto squaresAreRight = [&](const QImage& image) {
        for (int y = 0; y < kSide; y += 2) {
            for (int x = 0; x < kSide; x += 2) {
                const QRgb c = image.pixel(x, y);
                const bool shared = y >= kSharedFromRow;
                if (c != kWhiteRgb && c != colours[owner(x, y)] &&
                    !(shared && c == colours[1 - owner(x, y)]))
                    return false;
                if (image.pixel(x + 1, y) != c || image.pixel(x, y + 1) != c ||
                    image.pixel(x + 1, y + 1) != c)
                    return false;
            }
        }
        return true;
    };
    std::atomic<int> ready{0};
    std::atomic<int> wrongSquares{0};
    // Nobody else paints an owned square, so right after painting it shows the painter's colour.
    const auto checkOwned = [&](int x, int y, QRgb expected) {
        board.read([&](const QImage& image) {
            if (image.pixel(x, y) != expected || image.pixel(x + 1, y + 1) != expected)
                ++wrongSquares;
        });
    };
    const auto painter = [&](int me, quint32 color) {
        // Both painters start together so that their squares interleave.
        ++ready;
        while (ready.load() < 2)
            std::this_thread::yield();
        for (int round = 0; round < kRounds; ++round)
            for (int y = 0; y < kSide; y += 2)
                for (int x = 0; x < kSide; x += 2)
                    if (y >= kSharedFromRow) {
                        board.paintSquare(x, y, color);
                    } else if (owner(x, y) == me) {
                        board.paintSquare(x, y, color);
                        checkOwned(x, y, colours[me]);
                    }
    };
    std::atomic<bool> done{false};
    std::atomic<int> wrongSnapshots{0};
    std::thread reader([&] {
        while (!done.load())
            if (!squaresAreRight(board.snapshot()))
                ++wrongSnapshots;
    });
    std::thread first(painter, 0, kRed);
    std::thread second(painter, 1, kBlue);
    first.join();
    second.join();
    done = true;
    reader.join();
    EXPECT_EQ(wrongSnapshots.load(), 0);
    EXPECT_EQ(wrongSquares.load(), 0);
    const QImage image = board.snapshot();
    EXPECT_TRUE(squaresAreRight(image));
    for (int y = 0; y < kSide; y += 2)
        for (int x = 0; x < kSide; x += 2)
            ASSERT_NE(image.pixel(x, y), kWhiteRgb) << x << "," << y;
}
