#include "trade/UploadPauses.h"

#include "common/GuiThread.h"

UploadPauses::UploadPauses() {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] { end(pauses_, true); });
}

void UploadPauses::pause(int ms, uint64_t round, std::function<void(bool)> then) {
    if (closed_)
        return;
    timer_.stop();
    then_ = std::move(then);
    const uint64_t pause = ++pauses_;
    if (round != round_)
        later(this, [this, pause] { end(pause, false); });
    else
        timer_.start(ms);
}

void UploadPauses::callOff() {
    ++round_;
    if (then_ && timer_.isActive()) {
        timer_.stop();
        later(this, [this, pause = pauses_] { end(pause, false); });
    }
}

void UploadPauses::close() {
    closed_ = true;
    timer_.stop();
    then_ = nullptr;
}

void UploadPauses::end(uint64_t pause, bool whole) {
    if (pause != pauses_)
        return;
    if (std::function<void(bool)> then = std::exchange(then_, nullptr))
        then(whole);
}
