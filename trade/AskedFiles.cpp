#include "trade/AskedFiles.h"

#include "trade/FileHeader.h"

#include <algorithm>

void AskedFiles::reset(const QList<QByteArray>& requestedNames, const QList<qint64>& listedSizes) {
    remaining_.clear();
    for (qsizetype i = 0; i < requestedNames.size(); ++i) {
        Asked& asked = remaining_[requestedNames[i]];
        ++asked.uses;
        const qint64 size = i < listedSizes.size() ? listedSizes[i] : kAnySize;
        asked.maxBytes = std::max(asked.maxBytes, size);
    }
}

std::optional<qint64> AskedFiles::take(const QByteArray& headerName) {
    // A peer of another make may cut a long name at exactly 100 bytes even inside a character.
    const auto it = std::find_if(remaining_.begin(), remaining_.end(), [&](const auto& asked) {
        return cutHeaderName(asked.first) == headerName ||
               asked.first.left(kMaxHeaderNameBytes) == headerName;
    });
    if (it == remaining_.end())
        return std::nullopt;
    const qint64 maxBytes = it->second.maxBytes;
    if (--it->second.uses == 0)
        remaining_.erase(it);
    return maxBytes;
}

bool AskedFiles::empty() const {
    return remaining_.empty();
}
