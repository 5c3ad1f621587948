#pragma once
// One background thread that runs posted tasks one after another. The window uses it for the
// blocking socket calls of connecting, going online and the plot pump, so the GUI thread never
// waits on the network while the steps keep their order.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

class SerialWorker {
public:
    SerialWorker();
    ~SerialWorker(); // finishes the queued tasks, then ends the thread

    void post(std::function<void()> task);
    bool idle() const;
    // Waits until every posted task has run. On the GUI thread it keeps delivering events
    // meanwhile, since a task may be waiting for the GUI thread.
    void waitIdle();
    // The same, giving up after timeoutMs; true when every posted task has run.
    bool waitIdleFor(int timeoutMs);

private:
    void run();
    bool waitUntilIdle(std::optional<std::chrono::steady_clock::time_point> deadline);

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<std::function<void()>> tasks_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread thread_;
};
