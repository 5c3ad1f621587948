#include "trade/OfferedFiles.h"

void OfferedFiles::reset(const std::vector<Entry>& entries) {
    paths_.clear();
    for (const Entry& entry : entries)
        paths_.emplace(entry.wireName, entry.path);
}

std::optional<QString> OfferedFiles::pathFor(const QByteArray& wireName) const {
    const auto it = paths_.find(wireName);
    if (it == paths_.end())
        return std::nullopt;
    return it->second;
}
