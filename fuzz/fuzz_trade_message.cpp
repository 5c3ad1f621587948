// Trade messages as the trade channel reads them: a first line naming the message, then data lines;
// a listing's groups of three become files (names kept as the bytes that came), its sizes are
// summed and sorted by, and a request is served only from the files this copy offered.
#include "fuzz/FuzzCheck.h"

#include "common/AnsiText.h"
#include "common/ProgramError.h"
#include "trade/OfferedFiles.h"
#include "trade/TradeRules.h"

#include <QSet>

#include <algorithm>
#include <cstdint>

namespace {

constexpr int kLinesPerFile = 3;

void checkFirstLine(const QByteArray& firstLine) {
    const TradeMessage message = tradeMessageOf(firstLine);
    const QList<QByteArray> known = {sendFileListLine(), askForTradeLine(), acceptTheTradeLine(),
                                     sendNextFileLine(), lastFileSendedLine()};
    FUZZ_CHECK((message == TradeMessage::Unknown) == !known.contains(firstLine));
}

void checkListing(const QList<QByteArray>& lines) {
    const QList<ListedFile> files = listedFiles(lines);
    FUZZ_CHECK(files.size() == lines.size() / kLinesPerFile);
    QList<QStringList> rows;
    QList<SummaryRow> summaryRows;
    for (qsizetype i = 0; i < files.size(); ++i) {
        FUZZ_CHECK(files[i].name == lines[i * kLinesPerFile]);
        FUZZ_CHECK(fuzz::readsBackAs(files[i].type, fieldFromWire(fieldToWire(files[i].type))));
        rows.append({ansi::decode(files[i].name), files[i].type, files[i].size});
        summaryRows.append({true, files[i].size});
    }
    failureOf([&] { tradeSummary(summaryRows, summaryRows); });

    for (int column = 0; column < kLinesPerFile; ++column) {
        QList<int> order;
        const QString failure = failureOf([&] { order = tradeSortOrder(rows, column); });
        if (!failure.isEmpty())
            continue;
        FUZZ_CHECK(order.size() == rows.size());
        QList<int> seen = order;
        std::sort(seen.begin(), seen.end());
        for (qsizetype i = 0; i < seen.size(); ++i)
            FUZZ_CHECK(seen[i] == i);
        for (qsizetype i = 1; i < order.size(); ++i) {
            const int c = compareTradeRows(rows[order[i - 1]], rows[order[i]], column);
            FUZZ_CHECK(c <= 0);
            FUZZ_CHECK((c == 0) ==
                       (compareTradeRows(rows[order[i]], rows[order[i - 1]], column) == 0));
            if (c == 0) // equal rows keep their order
                FUZZ_CHECK(order[i - 1] < order[i]);
        }
    }
}

// This copy offers the names of every other data line; a request names any data line.
void checkRequests(const QList<QByteArray>& lines) {
    std::vector<OfferedFiles::Entry> entries;
    QSet<QByteArray> offered;
    for (qsizetype i = 0; i < lines.size(); i += 2) {
        entries.push_back({lines[i], QStringLiteral("/offered/%1").arg(i)});
        offered.insert(lines[i]);
    }
    OfferedFiles files;
    files.reset(entries);
    for (const QByteArray& request : lines) {
        const auto path = files.pathFor(request);
        FUZZ_CHECK(path.has_value() == offered.contains(request));
        if (path)
            FUZZ_CHECK(path->startsWith(QStringLiteral("/offered/")));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A message ends at the first empty line, as the channel reads it.
    QList<QByteArray> lines = fuzz::bytesOf(data, size).split('\n');
    for (QByteArray& line : lines)
        line.chop(line.endsWith('\r') ? 1 : 0);
    const qsizetype empty = lines.indexOf(QByteArray());
    if (empty >= 0)
        lines.resize(empty);
    if (lines.isEmpty())
        return 0;
    checkFirstLine(lines.takeFirst());
    checkListing(lines);
    checkRequests(lines);
    return 0;
}
