#pragma once
// Checks that code meant for one thread runs there. In debug and sanitizer builds a call on the
// wrong thread stops the program at once, naming what was called; in release builds the checks
// are nothing.

#include <QObject>
#include <QThread>
#include <QtGlobal>

#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VORLAX_THREAD_CHECKS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define VORLAX_THREAD_CHECKS 1
#endif
#endif

namespace threadcheck {
inline void require(bool onRightThread, const char* what) {
#ifdef VORLAX_THREAD_CHECKS
    if (!onRightThread)
        qFatal("%s ran on the wrong thread", what);
#else
    Q_UNUSED(onRightThread);
    Q_UNUSED(what);
#endif
}
} // namespace threadcheck

// Stops the program when the caller is not on the thread that owns `object`.
#define VORLAX_ON_THREAD_OF(object)                                                                \
    threadcheck::require(QThread::currentThread() == (object)->thread(), Q_FUNC_INFO)
