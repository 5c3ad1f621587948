#pragma once
// The files this copy asked its peer for in its last "Ask for download". A received file is written
// only when its header's name is one of them, and no more times than it was asked for. Names are
// compared as the bytes a header can carry: the requested name cut to the header's 100 bytes.

#include <QByteArray>
#include <QList>

#include <map>
#include <mutex>

class AskedFiles {
public:
    // Replaces every earlier request with this one (names as sent in the request).
    void reset(const QList<QByteArray>& requestedNames);
    // True, and one use fewer left, when headerName was asked for and has uses left. Thread-safe.
    bool take(const QByteArray& headerName);
    bool empty() const;

private:
    mutable std::mutex mutex_;
    std::map<QByteArray, int> remaining_; // requested name -> uses left
};
