#pragma once
// One background thread that runs posted tasks one after another. The window uses it for the
// blocking socket calls of connecting, going online, the sends and the plot pump, so the GUI thread
// never waits on the network while the steps keep their order.
//
// A task never waits for the thread that posted it: it returns, and what it found goes back as a
// queued continuation. So the poster may wait for the worker plainly (only closing does), without
// delivering events meanwhile.
//
// Tasks may carry a kind. Work of one kind that is queued and not yet begun is held once only: a
// newer task of that kind takes the older one's place in the queue. Queued tasks of a kind can be
// dropped before they begin.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

class SerialWorker {
public:
    using Kind = int;
    static constexpr Kind kNoKind = 0; // never coalesced

    SerialWorker();
    ~SerialWorker(); // drops what is queued, lets the running task end, then ends the thread

    void post(std::function<void()> task);
    // Queues a task of `kind`. A queued task of the same kind that has not begun is replaced in its
    // place; false then, true when the task was queued anew.
    bool post(Kind kind, std::function<void()> task);
    // Drops the queued tasks of `kind` that have not begun; returns how many.
    int cancel(Kind kind);
    bool idle() const;
    // Waits until every posted task has run; no events are delivered meanwhile.
    void waitIdle();
    // The same, giving up after timeoutMs; true when every posted task has run.
    bool waitIdleFor(int timeoutMs);

private:
    struct Task {
        Kind kind;
        std::function<void()> run;
    };
    void run();
    bool waitUntilIdle(std::optional<std::chrono::steady_clock::time_point> deadline);

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<Task> tasks_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread thread_;
};
