#pragma once
// The network thread's half of a line client: one socket to the peer's listener, and the work the
// window queued for it, done one piece after another without ever blocking the thread. Each piece
// reports its outcome with the client's state, in the order the pieces were queued.
//
// A message is one piece: its lines while connected, then Disconnect and at once Connect, so the
// peer always holds an idle connection for the next message. A piece may carry a kind: a newer
// piece of that kind replaces one still queued, so what a peer provokes over and over is sent
// once. hurry() cuts the time left to everything queued before it: a user's action never waits
// behind what a peer provoked.

#include "net/ChannelLimits.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>

class QSocketNotifier;

class LineClient : public QObject {
public:
    using Clock = std::chrono::steady_clock;

    struct State {
        bool active = false;    // a socket is held, connected or not
        bool connected = false; // the last connect succeeded and no send has failed since
        uint32_t remote = 0;    // IPv4 addresses (host byte order) of the last connection
        uint32_t local = 0;
    };
    // Called on the network thread when a piece is over. result: for a connect 1 when connected,
    // for a message the lines that went out (-1: not sent at all), else 0.
    using Report = std::function<void(const State& state, int result)>;

    struct Work {
        enum class Kind { Connect, Disconnect, Activate, Deactivate, Message };
        Kind kind = Kind::Connect;
        QString host; // where a connect goes
        uint16_t port = 0;
        QList<QByteArray> lines;  // a message's lines
        bool ifConnected = false; // a message finding the client not connected sends nothing
        int coalesce = 0;         // 0: never replaced
        Report report;
        Clock::time_point hurriedBy = Clock::time_point::max();
    };

    LineClient();
    ~LineClient() override;

    void queue(Work work);
    // Queued pieces of this kind are dropped (reported with -1).
    void dropQueued(int coalesce);
    // Everything queued now must be over within graceMs.
    void hurry(int graceMs);
    // For good: what runs ends now, and everything queued or queued later fails at once.
    void cancel();
    bool idle() const { return !running_ && queue_.empty(); }
    void setConnectTimeoutMs(int ms) { connectTimeoutMs_ = ms; }
    void setSendTimeoutMs(int ms) { sendTimeoutMs_ = ms; }

private:
    void pump();
    void start();
    void finish(int result);
    void writeLines();
    void writeReady();
    void sendFailed();
    void connectThen(std::function<void()> then);
    void attempt(uint32_t address);
    void connectReady();
    void connectEnded(bool success);
    void disconnectNow();
    void armTimer(int ownMs);
    void timedOut();
    void stopWaiting();

    std::deque<Work> queue_;
    Work work_; // the piece under way
    bool running_ = false;
    bool pumping_ = false;
    bool cancelled_ = false;
    State state_;
    int fd_ = -1;
    QSocketNotifier* writable_ = nullptr;
    QTimer timer_{this};      // the running step's time limit
    Clock::time_point limit_; // when it runs out
    int lookupId_ = -1;
    uint64_t step_ = 0; // counts steps, so a late lookup answer is ignored
    std::function<void()> afterConnect_;
    // A message being written.
    qsizetype line_ = 0;
    int sent_ = 0;
    qsizetype unsent_ = 0; // bytes of the line being written (CR LF included) not yet taken
    int connectTimeoutMs_ = kConnectTimeoutMs;
    int sendTimeoutMs_ = kSendTimeoutMs;
};
