#pragma once
// The files this copy asked its peer for in its last "Ask for download". A received file is written
// only when its header's name is one of them, and no more times than it was asked for. Names are
// compared as the bytes a header can carry: the requested name cut to the header's 100 bytes.
// Each name keeps the size the peer's listing gave for it, which its file may not exceed.

#include <QByteArray>
#include <QList>

#include <limits>
#include <map>
#include <optional>

class AskedFiles {
public:
    static constexpr qint64 kAnySize = std::numeric_limits<qint64>::max();

    // Replaces every earlier request with this one (names as sent in the request), each with the
    // size its listing gave (the same order; none given: any size).
    void reset(const QList<QByteArray>& requestedNames, const QList<qint64>& listedSizes = {});
    // When headerName was asked for and has uses left: one use fewer left, and the most bytes its
    // file may have. Nothing otherwise.
    std::optional<qint64> take(const QByteArray& headerName);
    bool empty() const;

private:
    struct Asked {
        int uses = 0;
        qint64 maxBytes = 0;
    };
    std::map<QByteArray, Asked> remaining_; // requested name -> uses left, listed size
};
