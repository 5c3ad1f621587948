#pragma once
// The chat log's bounds and its feed. The log keeps at most 10 000 lines (the text area drops the
// oldest itself) and at most kChatLogMaxBytes of text, counted as the text area holds it, two bytes
// a character: whatever a peer sends, the log never grows past a few megabytes, and the oldest
// lines go first.
//
// Lines from the network threads are not shown one hop each: they wait in the feed, in order, and
// the GUI thread shows them in slices of a few milliseconds, so however many listener threads
// deliver at once the window keeps answering. Lines that the byte bound would push out of the log
// at once are dropped while they wait, never laid out.

#include <QObject>
#include <QString>

#include <deque>
#include <mutex>

class QPlainTextEdit;

inline constexpr qsizetype kChatLogMaxBytes = 2 * 1024 * 1024;

// The bytes of text the log holds now.
qsizetype chatLogBytes(const QPlainTextEdit* log);
// Removes the oldest lines until the text is within kChatLogMaxBytes; the newest line always
// stays. Cheap when the log is within its bound.
void keepChatLogBounded(QPlainTextEdit* log);

// Feeds lines into a log, within its bounds. A child of the log, so it lives as long as the log.
class ChatLogFeed : public QObject {
public:
    explicit ChatLogFeed(QPlainTextEdit* log);
    // Appends a line after every line given before; from any thread. On the GUI thread with nothing
    // waiting the line is in the log when the call returns.
    void append(const QString& line);

private:
    void showWaiting(); // GUI thread
    void show(const QString& line);

    QPlainTextEdit* log_;
    std::mutex mutex_;
    std::deque<QString> waiting_;
    qsizetype waitingBytes_ = 0;
    bool showPosted_ = false; // a showWaiting() is queued or running
};
