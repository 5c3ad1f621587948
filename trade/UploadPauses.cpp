#include "trade/UploadPauses.h"

uint64_t UploadPauses::round() const {
    std::lock_guard lock(mutex_);
    return round_;
}

bool UploadPauses::pause(int ms, uint64_t round) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return over(round); });
    return !over(round);
}

void UploadPauses::callOff() {
    {
        std::lock_guard lock(mutex_);
        ++round_;
    }
    changed_.notify_all();
}

void UploadPauses::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}
