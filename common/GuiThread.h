#pragma once
// The program's threads, how they talk, and how code says which thread it needs.
//
// | thread  | made by        | owns and runs                                                    |
// |---------|----------------|------------------------------------------------------------------|
// | GUI     | main()         | every widget and timer, all of TForm1's state (flags, queues,    |
// |         |                | lists, link state, trade agreement), the handlers of messages     |
// | network | TForm1         | every socket: the line listeners and clients, the download       |
// |         | (NetworkThread)| listener and client, their reading, writing and time limits      |
//
// Qt's own helper threads (name lookups, the accessibility bus) aside, there are no others.
//
// The two threads meet only through mailboxes: `Mailbox::post` hands a value (a step to run) to
// the mailbox's thread and returns at once. Neither thread ever waits for the other; joining the
// network thread when the window closes is the only wait. A mailbox keeps its queue under a plain
// mutex, which the thread sanitizer sees, so everything a step carries is ordered between the
// threads without further marks.
//
// Code meant for one thread says so (VORLAX_ON_THREAD_OF, assertThread): in debug and sanitizer
// builds a call made on another thread stops the program at once, naming the call; in release
// builds the check is nothing.

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QtGlobal>

#include <functional>
#include <mutex>
#include <utility>
#include <vector>

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

// Steps handed to one thread, run there in the order they were posted. Posting never waits for
// the receiving thread. Steps posted once the mailbox is shut, or still queued then, are dropped
// without running (they are destroyed on whichever thread drops them).
class Mailbox : public QObject {
    Q_OBJECT

public:
    Mailbox() = default;

    // Any thread.
    void post(std::function<void()> step) {
        {
            std::lock_guard lock(mutex_);
            if (shut_)
                return;
            queue_.push_back(std::move(step));
            if (wakePosted_)
                return;
            wakePosted_ = true;
        }
        // Called by name: the wake-up Qt queues then holds nothing made by this code (a functor
        // would be written here and read on the receiving thread with only Qt's own lock, which
        // the thread sanitizer cannot see, between). Everything a step carries goes through
        // queue_ under mutex_.
        QMetaObject::invokeMethod(this, "drain", Qt::QueuedConnection);
    }
    // Any thread: drops what is queued; later posts are dropped too.
    void shut() {
        std::vector<std::function<void()>> dropped;
        std::lock_guard lock(mutex_);
        shut_ = true;
        dropped.swap(queue_);
    }

private:
    Q_INVOKABLE void drain() {
        std::vector<std::function<void()>> steps;
        {
            std::lock_guard lock(mutex_);
            steps.swap(queue_);
            wakePosted_ = false;
        }
        for (std::function<void()>& step : steps)
            step();
    }

    std::mutex mutex_;
    std::vector<std::function<void()>> queue_;
    bool wakePosted_ = false;
    bool shut_ = false;
};

// Runs f on context's own thread once the present step has returned; only from that thread.
template <class F> void later(QObject* context, F&& f) {
    assertOnThreadOf(context, "later");
    QMetaObject::invokeMethod(context, std::forward<F>(f), Qt::QueuedConnection);
}
