#pragma once
// The network thread: one event loop that owns every socket of the window. Objects that live on it
// are handed over with adopt() and destroyed on it when it stops (or earlier, by deleteLater on
// it), so their socket notifiers and timers are never touched from another thread.

#include "common/GuiThread.h"

#include <QThread>

#include <functional>

class NetworkThread : public QThread {
public:
    NetworkThread();
    // Stops and joins the thread if that has not happened yet.
    ~NetworkThread() override;

    // Runs step on the network thread; any thread, never waits.
    void post(std::function<void()> step) { mailbox_.post(std::move(step)); }
    // Moves object (which has no parent) onto the network thread; it is deleted there when the
    // thread stops, unless it was deleted before.
    void adopt(QObject* object);
    // Runs last on the network thread and waits for the thread to end: the one wait between the
    // threads, made when the window closes. `last` ends the loop with finish(), at once or once
    // it is done. Steps posted afterwards are dropped.
    void stop(std::function<void()> last = {});
    // On the network thread: ends the loop once the running step has returned.
    void finish() { quit(); }

protected:
    void run() override;

private:
    Mailbox mailbox_;
    QObject* root_ = nullptr; // on the network thread: the parent of every adopted object
    bool stopped_ = false;
};
