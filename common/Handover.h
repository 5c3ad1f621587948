#pragma once
// Marks for the thread sanitizer around a call handed to another thread through Qt's event queue.
//
// Qt orders such a hand-over under its own locks, but Qt is not built with the sanitizer, so the
// sanitizer cannot see that order: the call object built on the sending thread and read on the
// receiving one would show up as a race. `Call` wraps the function handed over and tells the
// sanitizer what Qt guarantees. Its `Mark` is built last, after the function was moved into Qt's
// call object, and releases; the call acquires before it touches the function. For a caller
// that waits, the end of the call releases again and the caller acquires once it is released.
// Every mark is keyed on the receiving thread, whose queue lock orders all hand-overs to it.
// Without the sanitizer the marks are nothing.

#include <QThread>

#include <utility>

#if defined(__SANITIZE_THREAD__)
#define VORLAX_HANDOVER_MARKS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VORLAX_HANDOVER_MARKS 1
#endif
#endif
#ifdef VORLAX_HANDOVER_MARKS
#include <sanitizer/tsan_interface.h>
#endif

namespace handover {

#ifdef VORLAX_HANDOVER_MARKS
inline void release(void* key) {
    __tsan_release(key);
}
inline void acquire(void* key) {
    __tsan_acquire(key);
}
#else
inline void release(void*) {}
inline void acquire(void*) {}
#endif

// Keys: one for calls arriving on a thread, one for the ends of calls a caller waits for.
inline void* arrivalKey(QThread* thread) {
    return thread;
}
inline void* endKey(QThread* thread) {
    return reinterpret_cast<char*>(thread) + 1;
}

// Releases whenever it is made, moved or copied, so the release of the copy that ends up inside
// Qt's call object comes after everything built before it. It reads nothing on the receiving
// thread.
class Mark {
public:
    explicit Mark(QThread* to) : to_(to) { release(arrivalKey(to_)); }
    Mark(const Mark& other) : to_(other.to_) { release(arrivalKey(to_)); }
    Mark& operator=(const Mark&) = delete;

private:
    QThread* to_;
};

// The function f, to run on thread `to`. The receiving thread acquires before it reads f.
template <class F> class Call {
public:
    Call(QThread* to, F f) : f_(std::move(f)), mark_(to) {}
    void operator()() {
        acquire(arrivalKey(QThread::currentThread()));
        f_();
    }

private:
    F f_;
    Mark mark_; // last, so it is built after f_
};

// For a caller waiting on the call: the call's end on the receiving thread, and the caller's
// wake-up after it.
inline void ended() {
    release(endKey(QThread::currentThread()));
}
inline void waited(QThread* to) {
    acquire(endKey(to));
}

} // namespace handover
