#pragma once
// The rules of the trade negotiation that need no window: the messages on the trade channel, the
// listing a peer sends, the summary for the status bar, the order of the two file lists, and the
// turn order in which messages read on several threads take effect.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <cstdint>
#include <set>
#include <mutex>

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

// Lets messages that are read on several threads take effect one at a time, in the order their
// connections were accepted. A message waits for every earlier connection whose message has begun
// to finish. An earlier connection whose first line has not come (or whose handler has not started)
// is waited for only kLateStartGraceMs, since its thread may just not have run yet; after that it
// is passed over, so an idle connection of another sender never holds messages up for long.
class MessageTurns {
public:
    static constexpr int kLateStartGraceMs = 200;

    // One connection's place in the order; leaving its scope hands the turn on, also on an error.
    class Turn {
    public:
        Turn(MessageTurns& turns, uint64_t acceptIndex);
        ~Turn();
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;
        // The first line of a message came: later connections now wait for this one.
        void begin();
        // Blocks until every earlier connection is done, or is idle and passed over.
        void wait();
        // Hands the turn on; later calls and the destructor do nothing.
        void done();

    private:
        MessageTurns& turns_;
        uint64_t index_;
        bool done_ = false;
    };

private:
    void begin(uint64_t index);
    void waitFor(uint64_t index);
    void finish(uint64_t index);

    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t firstOpen_ = 0;       // every connection before it is done; it is not
    std::set<uint64_t> doneLater_; // done connections after firstOpen_
    std::set<uint64_t> begun_;     // connections whose message began and is not done
};
