#include "common/SerialWorker.h"

#include <QCoreApplication>
#include <QThread>

#include <chrono>

namespace {
constexpr auto kIdlePollInterval = std::chrono::milliseconds(2);
}

SerialWorker::SerialWorker() : thread_([this] { run(); }) {}

SerialWorker::~SerialWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    waitIdle();
    thread_.join();
}

void SerialWorker::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

bool SerialWorker::idle() const {
    std::lock_guard lock(mutex_);
    return tasks_.empty() && !busy_;
}

void SerialWorker::waitIdle() {
    waitUntilIdle(std::nullopt);
}

bool SerialWorker::waitIdleFor(int timeoutMs) {
    return waitUntilIdle(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs));
}

bool SerialWorker::waitUntilIdle(std::optional<std::chrono::steady_clock::time_point> deadline) {
    const bool onAppThread = QCoreApplication::instance() &&
                             QThread::currentThread() == QCoreApplication::instance()->thread();
    std::unique_lock lock(mutex_);
    while (!tasks_.empty() || busy_) {
        if (deadline && std::chrono::steady_clock::now() >= *deadline)
            return false;
        if (onAppThread) {
            lock.unlock();
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            lock.lock();
            done_.wait_for(lock, kIdlePollInterval);
        } else if (deadline) {
            done_.wait_until(lock, *deadline);
        } else {
            done_.wait(lock);
        }
    }
    return true;
}

void SerialWorker::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) {
            if (stopping_)
                return;
            continue;
        }
        auto task = std::move(tasks_.front());
        tasks_.pop_front();
        busy_ = true;
        lock.unlock();
        try {
            task();
        } catch (...) {
            // A task reports its own failures; one that escapes must not end the worker.
        }
        lock.lock();
        busy_ = false;
        done_.notify_all();
    }
}
