#pragma once
// A bound on the events one producer has queued for another thread and that are not yet
// delivered. A network thread asks before it queues an event for the window; while `limit` are
// waiting, the event is dropped and counted instead of queued, so a peer that makes events faster
// than the window takes them costs neither memory nor the window's time. The receiving side tells
// the bound once it has taken an event. Thread-safe.

#include <atomic>
#include <cstdint>

class EventBound {
public:
    explicit EventBound(int limit) : limit_(limit) {}

    // The producer: true when one more event may be queued (it then counts as waiting); false when
    // the bound is reached, the event being counted as dropped.
    bool admit();
    // The receiver has taken one admitted event.
    void delivered();

    int waiting() const { return waiting_.load(); }
    uint64_t dropped() const { return dropped_.load(); }

private:
    const int limit_;
    std::atomic<int> waiting_{0};
    std::atomic<uint64_t> dropped_{0};
};
