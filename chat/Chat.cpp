// The chat: Enter in the input sends a ChatLine, "<" + nickname + ">: " + typed text, on the chat
// channel (one line, one connection); every line a peer sends is appended to the log as it came.

#include "app/MainForm.h"
#include "app/Notifications.h"

#include "common/AnsiText.h"
#include "common/DisplayText.h"
#include "common/GuiThread.h"

#include <QLineEdit>
#include <QPlainTextEdit>

namespace {
const QString kChatPlaceholder = QStringLiteral("Chat here :-)");
} // namespace

void TForm1::Edit3KeyDown(int key) {
    VORLAX_ON_THREAD_OF(this);
    if (key != Qt::Key_Return && key != Qt::Key_Enter)
        return;
    // While a line sent before is still on its way its reconnect is not done, and the client reads
    // as not connected for that moment; the new line then queues behind it instead of being
    // dropped.
    if (!ChatClient->Connected() && chatSendsPending_ == 0)
        return;
    const QString line = QStringLiteral("<%1>: %2").arg(Edit5->text(), Edit3->text());
    Memo1->appendPlainText(line);
    // The send is queued on the network thread, so a slow or vanished peer never stalls typing; it
    // keeps its place behind any connection step already queued for the chat client. A line whose
    // turn comes after a failed reconnect is lost like any line sent to a peer that has gone.
    ++chatSendsPending_;
    ChatClient->send({{ansi::encode(line)}, true}, [this](int) { --chatSendsPending_; });
    Edit3->clear();
}

void TForm1::Edit3Click() {
    if (Edit3->text() == kChatPlaceholder)
        Edit3->clear();
}

// A message larger than any chat line could be is dropped whole on its way here (the channel's
// shape), and so is one cut off at its deadline. What is shown is made safe: a line break or other
// control character inside it shows as a space, so a peer's text never starts a line that looks
// like the program's own, and a long line is cut, so the window never lays out megabytes of one
// line.
void TForm1::ChatServerAccept(TTcpServer*, const LineMessage& message) {
    const QString shown = shownText(ansi::decode(message.lines.join()), kMaxShownLineChars);
    appendChatLog(shown);
    // Only the connected peer speaks in a notification: whatever others send while this copy
    // is online but not connected stays in the log.
    if (fromPeer(message.sender))
        notifyChatLine(this, message.senderHost, shown);
}
