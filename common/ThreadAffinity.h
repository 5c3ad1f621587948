#pragma once
// Code meant for one thread says so: in debug and sanitizer builds a call made on another thread
// stops the program at once, naming the call; in release builds the check is nothing.

#include <QObject>
#include <QThread>
#include <QtGlobal>

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
