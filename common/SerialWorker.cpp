#include "common/SerialWorker.h"

#include <algorithm>

SerialWorker::SerialWorker() : thread_([this] { run(); }) {}

SerialWorker::~SerialWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        tasks_.clear();
    }
    wake_.notify_all();
    thread_.join();
}

void SerialWorker::post(std::function<void()> task) {
    post(kNoKind, std::move(task));
}

bool SerialWorker::post(Kind kind, std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (kind != kNoKind) {
            const auto queued = std::find_if(tasks_.begin(), tasks_.end(),
                                             [kind](const Task& t) { return t.kind == kind; });
            if (queued != tasks_.end()) {
                queued->run = std::move(task);
                return false;
            }
        }
        tasks_.push_back({kind, std::move(task)});
    }
    wake_.notify_one();
    return true;
}

int SerialWorker::cancel(Kind kind) {
    std::deque<Task> dropped; // destroyed outside the lock: a task's captures may be large
    {
        std::lock_guard lock(mutex_);
        const auto from = std::stable_partition(tasks_.begin(), tasks_.end(),
                                                [kind](const Task& t) { return t.kind != kind; });
        std::move(from, tasks_.end(), std::back_inserter(dropped));
        tasks_.erase(from, tasks_.end());
    }
    done_.notify_all();
    return static_cast<int>(dropped.size());
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
    std::unique_lock lock(mutex_);
    const auto isIdle = [this] { return tasks_.empty() && !busy_; };
    if (!deadline) {
        done_.wait(lock, isIdle);
        return true;
    }
    return done_.wait_until(lock, *deadline, isIdle);
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
        Task task = std::move(tasks_.front());
        tasks_.pop_front();
        busy_ = true;
        lock.unlock();
        try {
            task.run();
        } catch (...) {
            // A task reports its own failures; one that escapes must not end the worker.
        }
        task.run = nullptr; // its captures go before the worker counts as idle
        lock.lock();
        busy_ = false;
        done_.notify_all();
    }
}
