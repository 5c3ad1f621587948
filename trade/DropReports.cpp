#include "trade/DropReports.h"

#include <algorithm>

namespace {
constexpr quint32 kOtherSenders = 0;
} // namespace

bool DropReports::note(quint32 peer, qint64 nowMs) {
    if (!windows_.count(peer) && windows_.size() >= kMaxSenders)
        peer = kOtherSenders;
    const auto [it, opened] = windows_.try_emplace(peer, Window{nowMs + kWindowMs, 0});
    if (opened && peer != kOtherSenders)
        return true;
    ++it->second.untold;
    return false;
}

std::vector<DropReports::Summary> DropReports::takeDue(qint64 nowMs) {
    std::vector<Summary> due;
    for (auto it = windows_.begin(); it != windows_.end();) {
        Window& window = it->second;
        if (window.endMs > nowMs) {
            ++it;
            continue;
        }
        if (window.untold == 0) {
            it = windows_.erase(it);
            continue;
        }
        due.push_back({it->first, window.untold});
        window = {nowMs + kWindowMs, 0};
        ++it;
    }
    return due;
}

std::optional<qint64> DropReports::nextDueMs() const {
    if (windows_.empty())
        return std::nullopt;
    return std::min_element(
               windows_.begin(), windows_.end(),
               [](const auto& a, const auto& b) { return a.second.endMs < b.second.endMs; })
        ->second.endMs;
}
