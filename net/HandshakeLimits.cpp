#include "net/HandshakeLimits.h"

#include <unordered_map>

namespace {
struct Pending {
    int total = 0;
    std::unordered_map<uint32_t, int> byAddress;
};

Pending& pending() {
    thread_local Pending counts;
    return counts;
}
} // namespace

HandshakeSlot::~HandshakeSlot() {
    Pending& counts = pending();
    --counts.total;
    if (--counts.byAddress[address_] <= 0)
        counts.byAddress.erase(address_);
}

std::unique_ptr<HandshakeSlot> takeHandshakeSlot(uint32_t address) {
    Pending& counts = pending();
    const auto found = counts.byAddress.find(address);
    const int fromAddress = found == counts.byAddress.end() ? 0 : found->second;
    if (counts.total >= kMaxHandshakes || fromAddress >= kMaxHandshakesPerAddress)
        return nullptr;
    ++counts.total;
    ++counts.byAddress[address];
    return std::make_unique<HandshakeSlot>(address);
}
