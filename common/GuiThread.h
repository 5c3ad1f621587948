#pragma once
// Hops from a worker thread onto the thread that owns a QObject (the GUI thread for windows).
// Accept handlers read their lines on a worker and then apply what they change as one step there,
// so every change to shared window state is serialised with the GUI thread's own work.

#include "common/Handover.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <exception>
#include <utility>

// Runs f on context's thread and waits for it; runs it at once when already there. An error f
// raises comes back to the caller. If context is destroyed before the call is delivered, the call
// is dropped and the waiting thread is released. Never call it while holding a lock the GUI thread
// may take.
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

// Queues f on context's thread without waiting.
template <class F> void postTo(QObject* context, F&& f) {
    QMetaObject::invokeMethod(context, handover::Call(context->thread(), std::forward<F>(f)),
                              Qt::QueuedConnection);
}
