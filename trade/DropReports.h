#pragma once
// Which reports of dropped files (refused, not asked for, cut off) reach the window. A sender that
// floods the download port must not flood the chat log: per sender address, the first drop is
// told at once and opens a one-second window; the drops within it are only counted, and when it
// ends they are told as one summary. While the drops go on, each further second ends in one
// summary; a second without drops forgets the sender. So a sender costs at most one line a second,
// and a well-behaved peer, whose drops are seconds apart, has each of them told.

#include <QtGlobal>

#include <map>
#include <optional>
#include <vector>

class DropReports {
public:
    static constexpr qint64 kWindowMs = 1000;
    // Senders followed at once; drops from further ones are summed up under address 0.
    static constexpr size_t kMaxSenders = 64;

    // A file from `peer` was dropped at nowMs: true when it is to be told now, false when it is
    // counted for the window's summary.
    bool note(quint32 peer, qint64 nowMs);

    struct Summary {
        quint32 peer; // 0: senders beyond kMaxSenders
        int count;    // drops not told one by one
    };
    // The summaries of the windows that have ended by nowMs.
    std::vector<Summary> takeDue(qint64 nowMs);
    // When the next window ends; nothing when none is open.
    std::optional<qint64> nextDueMs() const;

private:
    struct Window {
        qint64 endMs;
        int untold;
    };
    std::map<quint32, Window> windows_;
};
