#include "chat/ChatLog.h"

#include "common/GuiThread.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace {
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
    show(line);
}

void ChatLogFeed::show(const QString& line) {
    log_->appendPlainText(line);
    keepChatLogBounded(log_);
}
