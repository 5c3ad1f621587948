#pragma once
// Text that came from the network, made safe to show. A peer's text must never look like the
// program's own: it must not start a line of its own in the chat log or a list, and it must not
// turn the order of what follows it around.

#include <QString>

// The longest received text the chat log shows of one line; the rest is cut and marked.
inline constexpr qsizetype kMaxShownLineChars = 4096;

// received with every control character (CR, LF, tab and the rest of C0 and C1, DEL) shown as a
// space and every Unicode direction override, embedding or isolate shown as U+FFFD; texts longer
// than maxChars (when given, >= 1) are cut to maxChars characters and end with "…".
QString shownText(const QString& received, qsizetype maxChars = -1);
