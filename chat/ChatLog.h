#pragma once
// The chat log's bounds and its feed. The log keeps at most 10 000 lines (the text area drops the
// oldest itself) and at most kChatLogMaxBytes of text, counted as the text area holds it, two bytes
// a character: whatever a peer sends, the log never grows past a few megabytes, and the oldest
// lines go first.

#include <QObject>
#include <QString>

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
    // Appends a line after every line given before; it is in the log when the call returns.
    void append(const QString& line);

private:
    void show(const QString& line);

    QPlainTextEdit* log_;
};
