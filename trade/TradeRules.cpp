#include "trade/TradeRules.h"

#include "common/AnsiText.h"
#include "common/ProgramError.h"

#include <QHash>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <optional>
#include <vector>

namespace {

constexpr int kLinesPerFile = 3; // name, type, size
constexpr int kFirstNumericColumn = 2;
const QString kFilesAnd = QStringLiteral(" Files and ");
const QString kSummaryMiddle = QStringLiteral(" kb ---- ");
const QString kSummaryEnd = QStringLiteral(" kb");

struct Tally {
    int count = 0;
    qint64 sum = 0;
};

Tally tally(const QList<SummaryRow>& rows) {
    Tally result;
    for (const SummaryRow& row : rows) {
        if (!row.ticked)
            continue;
        ++result.count;
        result.sum += toInt32OrThrow(row.size);
    }
    return result;
}

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

int compareIgnoringAsciiCase(const QString& first, const QString& second) {
    const QByteArray a = ansi::encode(first);
    const QByteArray b = ansi::encode(second);
    const qsizetype common = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < common; ++i) {
        const auto ca = static_cast<unsigned char>(asciiLower(a[i]));
        const auto cb = static_cast<unsigned char>(asciiLower(b[i]));
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

QString cell(const QStringList& row, int column) {
    return column < row.size() ? row[column] : QString();
}

} // namespace

const QByteArray& sendFileListLine() {
    static const QByteArray line("\xA7\xA7\xA7-SendFileList-\xA7\xA7\xA7");
    return line;
}
const QByteArray& askForTradeLine() {
    static const QByteArray line("\xA7\xA7\xA7-AskForTrade-\xA7\xA7\xA7");
    return line;
}
const QByteArray& acceptTheTradeLine() {
    static const QByteArray line("\xA7\xA7\xA7-!AcceptTheTrade!-\xA7\xA7\xA7");
    return line;
}
const QByteArray& sendNextFileLine() {
    static const QByteArray line("\xA7\xA7-SendNextFile-\xA7\xA7");
    return line;
}
const QByteArray& lastFileSendedLine() {
    static const QByteArray line("\xA7\xA7-LastFileSended-\xA7\xA7");
    return line;
}

TradeMessage tradeMessageOf(const QByteArray& firstLine) {
    if (firstLine == lastFileSendedLine())
        return TradeMessage::LastFileSended;
    if (firstLine == sendNextFileLine())
        return TradeMessage::SendNextFile;
    if (firstLine == sendFileListLine())
        return TradeMessage::SendFileList;
    if (firstLine == askForTradeLine())
        return TradeMessage::AskForTrade;
    if (firstLine == acceptTheTradeLine())
        return TradeMessage::AcceptTheTrade;
    return TradeMessage::Unknown;
}

bool carriesDataLines(TradeMessage message) {
    return message == TradeMessage::SendFileList || message == TradeMessage::AskForTrade;
}

const QByteArray& emptyFieldOnWire() {
    static const QByteArray field(" ");
    return field;
}

QByteArray fieldToWire(const QString& text) {
    return text.isEmpty() ? emptyFieldOnWire() : ansi::encode(text);
}

QString fieldFromWire(const QByteArray& bytes) {
    return bytes == emptyFieldOnWire() ? QString() : ansi::decode(bytes);
}

QList<ListedFile> listedFiles(const QList<QByteArray>& lines) {
    QList<ListedFile> files;
    for (qsizetype i = 0; i + kLinesPerFile <= lines.size(); i += kLinesPerFile)
        files.append({lines[i], fieldFromWire(lines[i + 1]), fieldFromWire(lines[i + 2])});
    return files;
}

QList<int> requestedRows(const QList<QByteArray>& localNames, const QList<QByteArray>& requested) {
    QHash<QByteArray, QList<int>> rowsNamed;
    rowsNamed.reserve(localNames.size());
    for (int row = 0; row < localNames.size(); ++row)
        rowsNamed[localNames[row]].append(row);
    std::vector<bool> named(localNames.size(), false);
    for (const QByteArray& name : requested)
        if (const auto it = rowsNamed.constFind(name); it != rowsNamed.constEnd())
            for (int row : *it)
                named[row] = true;
    QList<int> rows;
    for (int row = 0; row < localNames.size(); ++row)
        if (named[row])
            rows.append(row);
    return rows;
}

QString tradeSummary(const QList<SummaryRow>& remote, const QList<SummaryRow>& local) {
    const Tally r = tally(remote);
    const Tally l = tally(local);
    return QString::number(r.count) + kFilesAnd + QString::number(r.sum) + kSummaryMiddle +
           QString::number(l.count) + kFilesAnd + QString::number(l.sum) + kSummaryEnd;
}

int compareTradeRows(const QStringList& first, const QStringList& second, int column) {
    if (column < kFirstNumericColumn)
        return compareIgnoringAsciiCase(cell(first, column), cell(second, column));
    const qint64 a = toInt32OrThrow(cell(first, column));
    const qint64 b = toInt32OrThrow(cell(second, column));
    return a < b ? -1 : (a > b ? 1 : 0);
}

QList<int> tradeSortOrder(const QList<QStringList>& rows, int column) {
    if (column >= kFirstNumericColumn)
        for (const QStringList& row : rows)
            toInt32OrThrow(cell(row, column));
    QList<int> order(rows.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return compareTradeRows(rows[a], rows[b], column) < 0; });
    return order;
}
