// PlotRecord text: what the sender writes and exactly which received lines are read as points.
#include "board/PlotRecord.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

void expectPoint(const QString& line, int32_t x, int32_t y, int32_t color) {
    const auto point = parsePlotRecord(line);
    ASSERT_TRUE(point.has_value()) << line.toStdString();
    EXPECT_EQ(point->x, x) << line.toStdString();
    EXPECT_EQ(point->y, y) << line.toStdString();
    EXPECT_EQ(point->color, color) << line.toStdString();
}

} // namespace

TEST(PlotRecord, FormatsDecimalFields) {
    EXPECT_EQ(formatPlotRecord(120, 45, 255), QStringLiteral("120 45 255"));
    EXPECT_EQ(formatPlotRecord(-1, -30, 0), QStringLiteral("-1 -30 0"));
    EXPECT_EQ(formatPlotRecord(0, 7, 0xFFFFFF), QStringLiteral("0 7 16777215"));
    EXPECT_EQ(formatPlotRecord(5, 7, 0xFF0000), QStringLiteral("5 7 16711680"));
    EXPECT_EQ(formatPlotRecord(INT_MIN, INT_MAX, 65280),
              QStringLiteral("-2147483648 2147483647 65280"));
}

TEST(PlotRecord, ReadsWellFormedLinesAndIgnoresTrailingText) {
    expectPoint(QStringLiteral("120 45 255"), 120, 45, 255);
    expectPoint(QStringLiteral("5 7 16711680"), 5, 7, 16711680);
    expectPoint(QStringLiteral("-1 -1 0"), -1, -1, 0);
    expectPoint(QStringLiteral("10 20 0 anything"), 10, 20, 0);
    expectPoint(QStringLiteral("10 20 0 "), 10, 20, 0);
    expectPoint(QStringLiteral("10 20 0  more words"), 10, 20, 0);
    expectPoint(QStringLiteral("+3 $1F 0x10"), 3, 31, 16);
    expectPoint(QStringLiteral("-2147483648 2147483647 -1"), INT_MIN, INT_MAX, -1);
    for (const auto& [x, y, c] :
         {std::tuple{0, 0, 0u}, {-7, 99999, 0xFFFFFFu}, {3, -4, 0x80000000u}})
        expectPoint(formatPlotRecord(x, y, c), x, y, static_cast<int32_t>(c));
}

TEST(PlotRecord, RefusesMalformedLines) {
    for (const char* line :
         {"10  20 0", " 10 20 0", "10 20", "10 20 ", "a b c", "", "10", "10 ", "99999999999 1 1",
          "1 2 2147483648", "1 2 x", "1,2,3", "1 2 3x", "10 20  0", "\t10 20 0", "10\t20 0"})
        EXPECT_FALSE(parsePlotRecord(QString::fromLatin1(line)).has_value()) << line;
}
