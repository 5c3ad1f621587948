#pragma once
// Waiting in tests: poll a condition with a deadline, delivering events meanwhile; never a fixed
// sleep.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

inline constexpr int kDefaultWaitMs = 5000;

// Polls cond, delivering events between checks, until it holds or the deadline passes.
template <class Pred> bool waitUntil(Pred cond, int timeoutMs = kDefaultWaitMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!cond()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}
