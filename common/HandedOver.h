#pragma once
// A value sent to another thread as the argument of a queued signal, with the thread sanitizer's
// marks of common/Handover.h. Qt copies a queued signal's arguments into its event under its own
// locks, which the sanitizer cannot see; the mark, built last, releases after each copy of the
// value, and the receiving slot acquires (take()) before it reads. Without the sanitizer the
// marks are nothing.

#include "common/Handover.h"

#include <QThread>

#include <utility>

template <class T> class HandedOver {
public:
    // `to`: the thread the value is sent to.
    HandedOver(T value, QThread* to) : value_(std::move(value)), mark_(to) {}
    HandedOver(const HandedOver&) = default;
    HandedOver& operator=(const HandedOver&) = default;
    // A queued call dropped undelivered (its receiver was deleted) destroys its copy on the
    // receiving thread without take(): that is a hand-over too.
    ~HandedOver() { handover::acquire(handover::arrivalKey(QThread::currentThread())); }
    // On the receiving thread.
    const T& take() const {
        handover::acquire(handover::arrivalKey(QThread::currentThread()));
        return value_;
    }

private:
    T value_;
    handover::Mark mark_; // last, so each copy releases after its value was copied
};
