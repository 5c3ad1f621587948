#pragma once
// The rules of the trade negotiation that need no window: the messages on the trade channel, the
// listing a peer sends, the summary for the status bar, the order of the two file lists, and the
// turn order in which messages read on several threads take effect.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>

// First lines of the trade messages ("§" is the byte 0xA7).
const QByteArray& sendFileListLine();
const QByteArray& askForTradeLine();
const QByteArray& acceptTheTradeLine();
const QByteArray& sendNextFileLine();
const QByteArray& lastFileSendedLine();

enum class TradeMessage {
    Unknown,
    SendFileList,
    AskForTrade,
    AcceptTheTrade,
    SendNextFile,
    LastFileSended
};

// The message a first line names: exact, case-sensitive equality of the whole line.
TradeMessage tradeMessageOf(const QByteArray& firstLine);
// Whether data lines follow that first line.
bool carriesDataLines(TradeMessage message);

// A field of a listing that would be an empty line travels as this one space.
const QByteArray& emptyFieldOnWire();
QByteArray fieldToWire(const QString& text);
QString fieldFromWire(const QByteArray& bytes);

// One file of a received listing. The name stays the bytes that came, so a request sends it back
// unchanged.
struct ListedFile {
    QByteArray name;
    QString type;
    QString size;
};
// Groups of three lines (name, type, size); the lines after the last whole group are dropped.
QList<ListedFile> listedFiles(const QList<QByteArray>& lines);

// The indices of the local rows (given by their names' bytes) that a request names exactly, each
// once, in row order. Linear in both lists: the local names are hashed, so a request of many names
// costs one look-up per name.
QList<int> requestedRows(const QList<QByteArray>& localNames, const QList<QByteArray>& requested);

// One row of a file list as the summary counts it.
struct SummaryRow {
    bool ticked = false;
    QString size;
};
// "<n> Files and <sum> kb ---- <n> Files and <sum> kb" over the ticked rows of the remote and the
// local list (the sums are byte counts). A ticked row whose size is not an integer raises
// ProgramError with the integer conversion message.
QString tradeSummary(const QList<SummaryRow>& remote, const QList<SummaryRow>& local);

// Orders two rows of a file list (caption, type, size...) by a column, always ascending: columns 0
// and 1 compare their texts ignoring ASCII letter case (byte order otherwise), column 2 and beyond
// compare the texts as integers. Negative, zero or positive like strcmp. A text that is not an
// integer raises ProgramError with the integer conversion message.
int compareTradeRows(const QStringList& first, const QStringList& second, int column);
// The row indices in sorted order (equal rows keep their order). Any conversion error is raised
// before anything is returned.
QList<int> tradeSortOrder(const QList<QStringList>& rows, int column);

// Bounds of one received trade message, first line included: beyond either the message is dropped
// and its connection closed.
constexpr int kMaxTradeMessageLines = 100000;
constexpr qint64 kMaxTradeMessageBytes = 16 * 1024 * 1024;
