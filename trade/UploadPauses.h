#pragma once
// The pauses of the upload steps (before and after each file), on the upload worker. A user's
// connection action calls off the pauses under way, so an upload a peer asked for before never
// holds up what the user clicked; closing calls off every pause for good.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class UploadPauses {
public:
    // The round a pause belongs to: the pauses of one round are called off together.
    uint64_t round() const;
    // Waits ms, unless the pauses of `round` are called off or closing begins first: true when the
    // whole pause passed.
    bool pause(int ms, uint64_t round);
    // Calls off the pauses of the present round, under way or still to come; a new round begins.
    void callOff();
    // Calls off every pause, now and later.
    void close();

private:
    bool over(uint64_t round) const { return closed_ || round != round_; }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t round_ = 0;
    bool closed_ = false;
};
