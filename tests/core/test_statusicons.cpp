#include "net/StatusIcons.h"

#include <QColor>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace {

int hueDistance(int a, int b) {
    const int d = std::abs(a - b) % 360;
    return std::min(d, 360 - d);
}

} // namespace

TEST(StatusIcons, ThreeColouredBallsOnTransparentGround) {
    const int expectedHue[] = {0, 55, 120}; // red, yellow, green
    for (int index = 0; index < kStatusIconCount; ++index) {
        const QImage ball = statusBall(index);
        ASSERT_FALSE(ball.isNull());
        EXPECT_EQ(ball.size(), QSize(16, 16));
        EXPECT_EQ(ball.format(), QImage::Format_ARGB32);
        for (QPoint corner : {QPoint(0, 0), QPoint(15, 0), QPoint(0, 15), QPoint(15, 15)})
            EXPECT_EQ(qAlpha(ball.pixel(corner)), 0) << index;
        for (QPoint inside : {QPoint(8, 8), QPoint(8, 12), QPoint(11, 8)}) {
            const QColor c = QColor::fromRgba(ball.pixel(inside));
            EXPECT_EQ(c.alpha(), 255) << index;
            EXPECT_GT(c.hsvSaturation(), 100) << index;
            EXPECT_LE(hueDistance(c.hsvHue(), expectedHue[index]), 20)
                << index << " hue " << c.hsvHue();
        }
    }
    EXPECT_NE(statusBall(0), statusBall(1));
    EXPECT_TRUE(statusBall(-1).isNull());
    EXPECT_TRUE(statusBall(3).isNull());
}
