// The pure rules of the trade negotiation: message names, listings, the summary, the list order
// and the order in which messages read on several threads take effect.

#include "common/ProgramError.h"
#include "trade/TradeRules.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

TEST(TradeRules, MessageNamesListingsAndSummary) {
    EXPECT_EQ(tradeMessageOf("\xA7\xA7\xA7-SendFileList-\xA7\xA7\xA7"), TradeMessage::SendFileList);
    EXPECT_EQ(tradeMessageOf("\xA7\xA7-LastFileSended-\xA7\xA7"), TradeMessage::LastFileSended);
    EXPECT_EQ(tradeMessageOf("\xA7\xA7\xA7-sendfilelist-\xA7\xA7\xA7"), TradeMessage::Unknown);
    EXPECT_EQ(tradeMessageOf("\xA7\xA7-SendFileList-\xA7\xA7\xA7"), TradeMessage::Unknown);
    EXPECT_EQ(tradeMessageOf("\xA7\xA7-SendNextFile-\xA7\xA7 "), TradeMessage::Unknown);

    const QList<ListedFile> files =
        listedFiles({"a.txt", "txt", "12", "Makefile", " ", "0", "lost.txt"});
    ASSERT_EQ(files.size(), 2);
    EXPECT_EQ(files[1].name, QByteArray("Makefile"));
    EXPECT_EQ(files[1].type, "");
    EXPECT_EQ(files[0].size, "12");
    EXPECT_TRUE(listedFiles({"a", "b"}).isEmpty());
    EXPECT_EQ(fieldToWire(""), QByteArray(" "));
    EXPECT_EQ(listedFiles({"R\xE9sum\xE9", "doc", "1"})[0].name, QByteArray("R\xE9sum\xE9"));

    EXPECT_EQ(tradeSummary({{true, "1200"}, {false, "7"}}, {}),
              "1 Files and 1200 kb ---- 0 Files and 0 kb");
    EXPECT_EQ(tradeSummary({{false, "bad"}}, {{true, "-5"}, {true, "10"}}),
              "0 Files and 0 kb ---- 2 Files and 5 kb");
    EXPECT_EQ(failureOf([] {
                  tradeSummary({}, {{true, "1 2"}});
              }),
              integerConversionMessage("1 2"));
}

TEST(TradeRules, OrderOfTheLists) {
    EXPECT_LT(compareTradeRows({"apple"}, {"Banana"}, 0), 0);
    EXPECT_EQ(compareTradeRows({"README"}, {"readme"}, 0), 0);
    // Outside ASCII the bytes decide: "É" (0xC9) is not the same letter as "é" (0xE9).
    EXPECT_LT(compareTradeRows({"\u00C9"}, {"\u00E9"}, 0), 0);
    EXPECT_GT(compareTradeRows({"x", "TXT"}, {"y", "doc"}, 1), 0);
    EXPECT_LT(compareTradeRows({"a", "", "900"}, {"b", "", "1200"}, 2), 0);

    const QList<QStringList> rows = {{"c", "", "1200"}, {"a", "", "900"}, {"b", "", "-3"}};
    EXPECT_EQ(tradeSortOrder(rows, 2), QList<int>({2, 1, 0}));
    EXPECT_EQ(tradeSortOrder(rows, 0), QList<int>({1, 2, 0}));
    EXPECT_EQ(tradeSortOrder({{"b", "x"}, {"a", "X"}}, 1), QList<int>({0, 1}));
    EXPECT_EQ(failureOf([] {
                  tradeSortOrder({{"a", "", "1"}, {"b", "", "two"}}, 2);
              }),
              integerConversionMessage("two"));
}
