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
//
// With a session policy that has a context, each connection is an encrypted session instead: the
// connect includes the TLS handshake and the key check, a message is one data frame on it (the
// bytes the plain connection would have carried), and the connection stays for the next message.

#include "net/ChannelLimits.h"
#include "net/SessionPolicy.h"

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
class TlsSocket;

class LineClient : public QObject {
public:
    using Clock = std::chrono::steady_clock;

    struct State {
        bool active = false;    // a socket is held, connected or not
        bool connected = false; // the last connect succeeded and no send has failed since
        uint32_t remote = 0;    // IPv4 addresses (host byte order) of the last connection
        uint32_t local = 0;
        bool encrypted = false;  // connected through a session that passed its key check
        QByteArray peerKey;      // the session's peer key
        QByteArray verifySecret; // the session's secret for the verification code
    };
    // Called on the network thread when a piece is over. result: for a connect 1 when connected,
    // for a message the lines that went out (-1: not sent at all), else 0.
    using Report = std::function<void(const State& state, int result)>;

    struct Work {
        // Control: lines[0] is the payload of a session control frame (sent only in a session).
        enum class Kind { Connect, Disconnect, Activate, Deactivate, Message, Control };
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
    // Taken at the next connect. alpn: the channel's name in a session.
    void setSessionPolicy(SessionPolicy policy, QByteArray alpn);
    // What happens to the sessions (with the state after it), and the control frames that arrive.
    std::function<void(const SecurityEvent& event, const State& state)> onSecurity;
    std::function<void(const QByteArray& payload)> onControl;

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
    void connectFinished(bool success);
    void startSession();
    void sessionUp();
    void sessionDown(const QString& reason,
                     SecurityEvent::Kind endKind = SecurityEvent::Kind::Ended);
    void sendFrame();
    void security(SecurityEvent::Kind kind, const QString& reason = {});
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
    SessionPolicy policy_;
    QByteArray alpn_;
    TlsSocket* tls_ = nullptr;   // the session, while one is held
    bool awaitingDrain_ = false; // a frame was queued and has not all gone out
};
