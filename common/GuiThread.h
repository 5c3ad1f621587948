#pragma once
// The program's threads, how work hops between them, and how code says which thread it needs.
//
// | thread                      | made by         | runs                                          |
// |-----------------------------|-----------------|-----------------------------------------------|
// | GUI                         | main()          | every widget and timer, all of TForm1's state,|
// |                             |                 | the handlers, the connection steps' endings   |
// | connection worker           | TForm1          | connecting, going online and offline, chat    |
// |                             | (SerialWorker)  | and trade sends, the answers peers provoke    |
// | plot worker                 | TForm1 (same)   | sending plot records                          |
// | upload worker               | TForm1 (same)   | the pauses around an upload, its announcement |
// | dispatcher, one per line    | TTcpServer      | accepting; watching idle connections          |
// | listener                    |                 |                                               |
// | accept workers, up to       | TTcpServer      | the accept handlers: reading a message, then  |
// | kWorkersPerListener each    |                 | one hop onto the GUI thread                   |
// | download listener           | TServerSocket   | receiving files into the save folder          |
// | download client             | TClientSocket   | sending files                                 |
// | name lookups, one each      | runAbandonable  | getaddrinfo; left to finish when cancelled    |
//
// `postTo` queues a step on an object's thread and returns at once: a worker hands its result to
// the window that way. `HopGate::runOn` is the one place a thread waits on another: an accept
// handler reads its lines on its worker and then applies what they change as one step on the GUI
// thread, so every change to shared window state is serialised with the GUI thread's own work.
// The window closes its gate first when it closes: hops waiting then and later return without
// running, so the GUI thread can join the workers plainly, without delivering events.
// `runOn` (without a gate) is for objects whose own thread never waits on the caller.
//
// Code meant for one thread says so (VORLAX_ON_THREAD_OF, assertThread): in debug and sanitizer
// builds a call made on another thread stops the program at once, naming the call; in release
// builds the check is nothing.

#include "common/Handover.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QtGlobal>

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VORLAX_CHECK_THREADS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VORLAX_CHECK_THREADS 1
#endif
#endif

// Asserts that the caller runs on the thread `object` lives on.
inline void assertOnThreadOf([[maybe_unused]] const QObject* object,
                             [[maybe_unused]] const char* call) {
#ifdef VORLAX_CHECK_THREADS
    if (QThread::currentThread() != object->thread())
        qFatal("%s called on a thread other than its object's", call);
#endif
}

// Asserts that the caller is on the right thread, as the caller judges it.
inline void assertThread([[maybe_unused]] bool onRightThread, [[maybe_unused]] const char* call) {
#ifdef VORLAX_CHECK_THREADS
    if (!onRightThread)
        qFatal("%s called on the wrong thread", call);
#endif
}

// The running function must be on the thread `object` lives on.
#define VORLAX_ON_THREAD_OF(object) assertOnThreadOf((object), Q_FUNC_INFO)

// Runs f on context's thread and waits for it; runs it at once when already there. An error f
// raises comes back to the caller. If context is destroyed before the call is delivered, the call
// is dropped and the waiting thread is released. Never call it while holding a lock the other
// thread may take, nor towards a thread that may wait on the caller.
template <class F> void runOn(QObject* context, F&& f) {
    if (QThread::currentThread() == context->thread()) {
        f();
        return;
    }
    std::exception_ptr failure;
    QThread* const to = context->thread();
    auto call = [&] {
        try {
            f();
        } catch (...) {
            failure = std::current_exception();
        }
        handover::ended();
    };
    QMetaObject::invokeMethod(context, handover::Call(to, call), Qt::BlockingQueuedConnection);
    handover::waited(to);
    if (failure)
        std::rethrow_exception(failure);
}

// Queues f on context's thread without waiting. Dropped if context is destroyed first.
template <class F> void postTo(QObject* context, F&& f) {
    QMetaObject::invokeMethod(context, handover::Call(context->thread(), std::forward<F>(f)),
                              Qt::QueuedConnection);
}

// Blocking hops onto one object's thread that can all be called off at once.
class HopGate {
public:
    // Runs f on context's thread and waits for it (at once when already there); an error f raises
    // comes back to the caller. False, without running f, once the gate is closed, also for a hop
    // that was already waiting when it closed.
    template <class F> bool runOn(QObject* context, F&& f);
    // From now on no hop runs; waiting ones return. Call it on the context's thread.
    void close();
    bool closed() const {
        std::lock_guard lock(mutex_);
        return closed_;
    }

private:
    struct Hop {
        enum class State { Waiting, Running, Done, Dropped };
        std::mutex mutex;
        std::condition_variable changed;
        State state = State::Waiting;
        std::exception_ptr failure;
    };
    bool enter(const std::shared_ptr<Hop>& hop);
    void leave(const std::shared_ptr<Hop>& hop);

    mutable std::mutex mutex_;
    bool closed_ = false;
    std::set<std::shared_ptr<Hop>> waiting_;
};

template <class F> bool HopGate::runOn(QObject* context, F&& f) {
    if (QThread::currentThread() == context->thread()) {
        if (closed())
            return false;
        f();
        return true;
    }
    auto hop = std::make_shared<Hop>();
    if (!enter(hop))
        return false;
    using State = Hop::State;
    // The step holds f by address: it runs only while this thread still waits for it.
    postTo(context, [hop, call = &f] {
        {
            std::lock_guard lock(hop->mutex);
            if (hop->state != State::Waiting)
                return;
            hop->state = State::Running;
        }
        try {
            (*call)();
        } catch (...) {
            hop->failure = std::current_exception();
        }
        std::lock_guard lock(hop->mutex);
        hop->state = State::Done;
        hop->changed.notify_all();
    });
    std::unique_lock lock(hop->mutex);
    hop->changed.wait(lock,
                      [&] { return hop->state == State::Done || hop->state == State::Dropped; });
    const bool ran = hop->state == State::Done;
    lock.unlock();
    leave(hop);
    if (hop->failure)
        std::rethrow_exception(hop->failure);
    return ran;
}

inline bool HopGate::enter(const std::shared_ptr<Hop>& hop) {
    std::lock_guard lock(mutex_);
    if (closed_)
        return false;
    waiting_.insert(hop);
    return true;
}

inline void HopGate::leave(const std::shared_ptr<Hop>& hop) {
    std::lock_guard lock(mutex_);
    waiting_.erase(hop);
}

inline void HopGate::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (const std::shared_ptr<Hop>& hop : waiting_) {
        std::lock_guard hopLock(hop->mutex);
        if (hop->state == Hop::State::Waiting) {
            hop->state = Hop::State::Dropped;
            hop->changed.notify_all();
        }
    }
}
