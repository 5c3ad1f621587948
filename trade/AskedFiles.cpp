#include "trade/AskedFiles.h"

#include "trade/FileHeader.h"

#include <algorithm>

void AskedFiles::reset(const QList<QByteArray>& requestedNames) {
    std::lock_guard lock(mutex_);
    remaining_.clear();
    for (const QByteArray& name : requestedNames)
        ++remaining_[name];
}

bool AskedFiles::take(const QByteArray& headerName) {
    std::lock_guard lock(mutex_);
    // A peer of another make may cut a long name at exactly 100 bytes even inside a character.
    const auto it = std::find_if(remaining_.begin(), remaining_.end(), [&](const auto& asked) {
        return cutHeaderName(asked.first) == headerName ||
               asked.first.left(kMaxHeaderNameBytes) == headerName;
    });
    if (it == remaining_.end())
        return false;
    if (--it->second == 0)
        remaining_.erase(it);
    return true;
}

bool AskedFiles::empty() const {
    std::lock_guard lock(mutex_);
    return remaining_.empty();
}
