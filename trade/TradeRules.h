#pragma once
// The rules of the trade negotiation that need no window: the messages on the trade channel, the
// listing a peer sends, the summary for the status bar, the order of the two file lists, and the
// turn order in which messages read on several threads take effect.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>

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
// A message whose first line came must be read whole within this time, or it is dropped.
constexpr int kTradeMessageDeadlineMs = 10000;

// Lets messages that are read on several threads take effect one at a time, in the order their
// connections were accepted. A message waits for every earlier connection whose message has begun
// to finish, but never past that message's deadline: a message not read whole by then has lost
// its turn and is dropped, so a sender that stops in the middle cannot hold later messages. An
// earlier connection whose first line has not come (or whose handler has not started) is waited
// for only kLateStartGraceMs, since its thread may just not have run yet; after that it is passed
// over, so an idle connection of another sender never holds messages up for long.
class MessageTurns {
public:
    static constexpr int kLateStartGraceMs = 200;

    explicit MessageTurns(int deadlineMs = kTradeMessageDeadlineMs) : deadlineMs_(deadlineMs) {}
    // Applies to messages that begin from now on.
    void setDeadlineMs(int ms) { deadlineMs_.store(ms); }

    // One connection's place in the order; leaving its scope hands the turn on, also on an error.
    class Turn {
    public:
        Turn(MessageTurns& turns, uint64_t acceptIndex);
        ~Turn();
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;
        // The first line of a message came: later connections now wait for this one, up to its
        // deadline.
        void begin();
        // The message has been read whole. False when that came after its deadline: the message
        // lost its turn and must be dropped. Otherwise blocks until every earlier connection is
        // done, or is idle or past its deadline and passed over, and returns true.
        bool wait();
        // Hands the turn on; later calls and the destructor do nothing.
        void done();

    private:
        MessageTurns& turns_;
        uint64_t index_;
        bool done_ = false;
    };

private:
    using Clock = std::chrono::steady_clock;

    void begin(uint64_t index);
    bool waitFor(uint64_t index);
    void finish(uint64_t index);

    std::atomic<int> deadlineMs_;
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t firstOpen_ = 0;       // every connection before it is done; it is not
    std::set<uint64_t> doneLater_; // done connections after firstOpen_
    // Connections whose message began and is not done, with the time its reading must end by;
    // Clock::time_point::max() once it has been read in time.
    std::map<uint64_t, Clock::time_point> begun_;
};
