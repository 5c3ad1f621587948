// The scrolling text panel: which items land on which lines, how a tick moves the text, and what
// the panel puts on screen.

#include "windows/TextPanel.h"

#include <QImage>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

namespace {
QList<int> itemsOf(const QList<TextPanelLine>& lines) {
    QList<int> items;
    for (const TextPanelLine& line : lines)
        items << line.item;
    return items;
}

// Whether the rows [top, bottom) and columns [left, right) of the image hold a dark pixel.
bool hasInk(const QImage& image, int top, int bottom, int left = 0, int right = -1) {
    if (right < 0)
        right = image.width();
    for (int y = std::max(top, 0); y < std::min(bottom, image.height()); ++y)
        for (int x = left; x < right; ++x)
            if (image.pixelColor(x, y).lightness() < 128)
                return true;
    return false;
}
} // namespace

TEST(TextPanelLines, StartWrapShorterListAndEmpty) {
    // At creation the top line shows the second item.
    EXPECT_EQ(textPanelLines(0, 0, 10, 35, 12),
              (QList<TextPanelLine>{{1, 0}, {2, 10}, {3, 20}, {4, 30}}));
    // After the last item the list starts again with item 0, and the tops follow the offset.
    EXPECT_EQ(textPanelLines(10, -4, 10, 30, 12),
              (QList<TextPanelLine>{{11, -4}, {0, 6}, {1, 16}, {2, 26}}));
    // A list replaced by a shorter one while TopIndex is beyond its end starts over at item 0.
    EXPECT_EQ(itemsOf(textPanelLines(10, 0, 10, 40, 3)), (QList<int>{0, 1, 2, 0, 1}));
    // Room for more lines than items: the list is shown more than once.
    EXPECT_EQ(itemsOf(textPanelLines(0, 0, 10, 30, 2)), (QList<int>{1, 0, 1, 0}));
    EXPECT_TRUE(textPanelLines(0, 0, 10, 100, 0).isEmpty());
    // One item fills every line; no line height yet gives a single line.
    EXPECT_EQ(itemsOf(textPanelLines(0, 0, 13, 193, 1)), QList<int>(193 / 13 + 1, 0));
    EXPECT_EQ(textPanelLines(0, 0, 0, 193, 5).size(), 1);
}

TEST(TextPanelScroll, TicksMoveOneLineAtATimeAndWrap) {
    constexpr int kLineHeight = 13;
    ScrollPosition at;
    for (int tick = 1; tick < kLineHeight; ++tick)
        at = advanceScroll(at, 1, kLineHeight, 12);
    EXPECT_EQ(at, (ScrollPosition{0, -(kLineHeight - 1)}));
    at = advanceScroll(at, 1, kLineHeight, 12);
    EXPECT_EQ(at, (ScrollPosition{1, 0}));
    EXPECT_EQ(advanceScroll({11, -12}, 1, kLineHeight, 12), (ScrollPosition{0, 0}));
    EXPECT_EQ(advanceScroll({5, -3}, 0, kLineHeight, 12), (ScrollPosition{5, -3}));
    EXPECT_EQ(advanceScroll({5, -12}, 1, kLineHeight, 0), (ScrollPosition{0, 0}));
    EXPECT_EQ(advanceScroll({0, -2}, 3, kLineHeight, 12), (ScrollPosition{0, -5}));
}

TEST(TextPanel, DefaultsTimerAndOwnVisibility) {
    QWidget window;
    TTextPanel panel(&window);
    EXPECT_EQ(panel.Interval(), 30u);
    EXPECT_EQ(panel.Timer()->objectName(), "Timer");
    panel.setInterval(40);
    EXPECT_EQ(panel.Timer()->interval(), 40);
    panel.setEnableTimer(false);
    EXPECT_FALSE(panel.Timer()->isActive());

    // A tick moves the text; the panel's own hiding stops it.
    panel.setItems({"a", "b", "c"});
    panel.resize(100, 60);
    panel.renderFrame(); // a paint measures the line height
    ASSERT_GT(panel.LineHeight(), 0);
    panel.ScrollTick();
    EXPECT_EQ(panel.ScrollOffset(), -1);
    panel.hide();
    EXPECT_FALSE(panel.panelVisible());
    panel.ScrollTick();
    EXPECT_EQ(panel.ScrollOffset(), -1);
    panel.show();
    for (int i = 0; i < panel.LineHeight(); ++i)
        panel.ScrollTick();
    EXPECT_EQ(panel.TopIndex(), 1);
    EXPECT_EQ(panel.ScrollOffset(), -1);
}

TEST(TextPanel, DrawsLinesInTheirBandsAndNothingWhenEmpty) {
    QWidget window;
    TTextPanel panel(&window);
    panel.setEnableTimer(false);
    panel.setGeometry(0, 0, 120, 60);
    panel.setColor(Qt::white);
    QFont font;
    font.setPixelSize(14);
    panel.setTextFont(font);
    panel.setItems({"", "WWW"});
    QImage frame = panel.renderFrame();
    const int lh = panel.LineHeight();
    ASSERT_GT(lh, 0);
    ASSERT_EQ(frame.size(), QSize(120, 60));
    // Top line: item 1 ("WWW") at the left, then the empty item 0, then item 1 again.
    EXPECT_TRUE(hasInk(frame, 0, lh, 0, 60));
    EXPECT_FALSE(hasInk(frame, 0, lh, 60, 120));
    EXPECT_FALSE(hasInk(frame, lh, 2 * lh));
    EXPECT_TRUE(hasInk(frame, 2 * lh, 3 * lh));

    // One whole line later the empty item is on top; right alignment moves the text right.
    for (int i = 0; i < lh; ++i)
        panel.ScrollTick();
    panel.setTextAlignment(TextPanelAlignment::Right);
    frame = panel.renderFrame();
    EXPECT_FALSE(hasInk(frame, 0, lh));
    EXPECT_TRUE(hasInk(frame, lh, 2 * lh, 60, 120));
    EXPECT_FALSE(hasInk(frame, lh, 2 * lh, 0, 60));

    // On screen: the panel's colour behind the text; with no items the panel paints nothing.
    panel.setColor(Qt::red);
    const QImage shown = panel.grab().toImage();
    EXPECT_EQ(shown.pixelColor(5, 5), QColor(Qt::red));
    panel.setItems({});
    EXPECT_TRUE(panel.renderFrame().isNull());
    const QImage empty = panel.grab().toImage();
    EXPECT_NE(empty.pixelColor(5, 5), QColor(Qt::red));
}

TEST(TextPanel, HiddenWindowHoldsTheTimerAndShowsWhatAKeptScrollingPanelWould) {
    // A period long enough that no real tick comes during the test; the clock is the test's.
    constexpr quint32 kInterval = 100000;
    constexpr int kMissed = 1000;
    qint64 now = 5000;
    QWidget window, referenceWindow;
    TTextPanel panel(&window), reference(&referenceWindow);
    panel.setClock([&] { return now; });
    reference.setEnableTimer(false);
    for (TTextPanel* p : {&panel, &reference}) {
        p->setItems({"a", "b", "c", "d"});
        p->setGeometry(0, 0, 100, 60);
        p->setInterval(kInterval);
    }
    reference.renderFrame(); // measures the line height, as the panel does when it catches up

    EXPECT_FALSE(panel.Timer()->isActive()); // never shown yet
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_TRUE(panel.Timer()->isActive());
    window.hide();
    EXPECT_FALSE(panel.Timer()->isActive());

    now += kMissed * qint64(kInterval) + kInterval / 4;
    window.show();
    for (int i = 0; i < kMissed; ++i)
        reference.ScrollTick();
    EXPECT_EQ(panel.TopIndex(), reference.TopIndex());
    EXPECT_EQ(panel.ScrollOffset(), reference.ScrollOffset());
    EXPECT_EQ(panel.renderFrame(), reference.renderFrame());
    // The next tick keeps the phase the panel would have had.
    ASSERT_TRUE(panel.Timer()->isActive());
    EXPECT_NEAR(panel.Timer()->remainingTime(), kInterval * 3 / 4, kInterval / 20);
}
