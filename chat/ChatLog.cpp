#include "chat/ChatLog.h"

#include "common/GuiThread.h"

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QThread>

namespace {
constexpr qint64 kShowSliceMs = 8; // the GUI thread's time for waiting lines before it looks up

qsizetype textBytes(qsizetype chars) {
    return chars * qsizetype(sizeof(char16_t));
}
} // namespace

qsizetype chatLogBytes(const QPlainTextEdit* log) {
    // characterCount() is kept by the document as it changes, so asking costs nothing.
    return textBytes(log->document()->characterCount());
}

void keepChatLogBounded(QPlainTextEdit* log) {
    const qsizetype excessChars = (chatLogBytes(log) - kChatLogMaxBytes) / textBytes(1);
    if (excessChars <= 0)
        return;
    QTextDocument* document = log->document();
    QTextBlock firstKept = document->firstBlock();
    for (qsizetype dropped = 0; dropped < excessChars && firstKept.next().isValid();
         firstKept = firstKept.next())
        dropped += firstKept.length();
    QTextCursor cursor(document);
    cursor.setPosition(firstKept.position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

ChatLogFeed::ChatLogFeed(QPlainTextEdit* log) : QObject(log), log_(log) {
    // Lines appended to the log directly, not through this feed, are bounded too.
    connect(
        log->document(), &QTextDocument::contentsChanged, this,
        [this] { keepChatLogBounded(log_); }, Qt::QueuedConnection);
}

void ChatLogFeed::append(const QString& line) {
    {
        std::lock_guard lock(mutex_);
        const bool showNow = QThread::currentThread() == thread() && !showPosted_;
        if (!showNow) {
            waiting_.push_back(line);
            waitingBytes_ += textBytes(line.size());
            // What waits beyond the log's whole bound would only push itself out again.
            while (waitingBytes_ > kChatLogMaxBytes && waiting_.size() > 1) {
                waitingBytes_ -= textBytes(waiting_.front().size());
                waiting_.pop_front();
            }
            if (std::exchange(showPosted_, true))
                return;
        }
        if (!showNow) {
            // One hop for all lines waiting, not one per line.
            postTo(this, [this] { showWaiting(); });
            return;
        }
    }
    show(line);
}

void ChatLogFeed::showWaiting() {
    QElapsedTimer slice;
    slice.start();
    for (;;) {
        QString line;
        {
            std::lock_guard lock(mutex_);
            if (waiting_.empty()) {
                showPosted_ = false;
                return;
            }
            if (slice.elapsed() >= kShowSliceMs) {
                postTo(this, [this] { showWaiting(); }); // the rest after the window looked up
                return;
            }
            line = std::move(waiting_.front());
            waiting_.pop_front();
            waitingBytes_ -= textBytes(line.size());
        }
        show(line);
    }
}

void ChatLogFeed::show(const QString& line) {
    log_->appendPlainText(line);
    keepChatLogBounded(log_);
}
