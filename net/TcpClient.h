#pragma once
// The sending endpoint of a line-message channel (net/TcpChannel.h).

#include "net/ChannelLimits.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

// The client endpoint: connects to the peer's listener and writes lines.
//
// One message is one call of sendMessage: its lines, then Disconnect and at once Connect, as one
// unit under the client's own lock, so no other thread's use of the client interleaves with it.
// The lock is private and never held by a caller.
class TTcpClient {
public:
    // Names the moment work for this client was queued (see hurry()).
    using Ticket = uint64_t;
    static constexpr Ticket kNewest = UINT64_MAX; // work queued after every hurry
    enum class SendWhen { Always, IfConnected };

    TTcpClient();
    ~TTcpClient();
    TTcpClient(const TTcpClient&) = delete;
    TTcpClient& operator=(const TTcpClient&) = delete;

    // Setting a text different from the stored one disconnects first.
    QString RemoteHost() const;
    void setRemoteHost(const QString& host);
    QString RemotePort() const;
    void setRemotePort(const QString& port);
    // Stored only: the system always chooses the local port of a connection.
    QString LocalPort() const;
    void setLocalPort(const QString& port);

    // Already connected: true. Otherwise one attempt to RemoteHost:RemotePort; returns Connected().
    // Throws ProgramError only for a port text that is not a port.
    bool Connect();
    // Shuts a connection down both ways and releases the socket; safe in any state.
    void Disconnect();
    bool Connected() const { return connected_.load(); }

    // True while a socket is held, connected or not.
    bool Active() const { return active_.load(); }
    void setActive(bool active);

    // Writes the line plus CR LF. Returns the bytes written, or -1 when not connected or the write
    // failed or was not taken whole within the send time-out; the connection then counts as lost
    // (Connected turns false) until the next Connect.
    int SendLine(const QByteArray& line);
    int SendLine(const QString& text);

    // One whole message: each line while the client is connected, then Disconnect and Connect
    // (which leaves the next message an open channel). With IfConnected, a client that is not
    // connected when the message's turn comes sends nothing and keeps its state. `ticket` is what
    // ticket() said when the message was queued. Returns the number of lines that went out, or -1
    // when IfConnected found the client not connected.
    int sendMessage(const QList<QByteArray>& lines, SendWhen when = SendWhen::Always,
                    Ticket ticket = kNewest);

    // The ticket of work queued now; any thread.
    Ticket ticket() const;
    // Work queued before this call (its ticket older) must be over within graceMs: a connect or a
    // send of it still waiting then gives up, one running or starting later as well. Work queued
    // afterwards is not touched. Any thread, without waiting for the client's lock: a user's
    // action uses it so that it never waits behind what a peer provoked before.
    void hurry(int graceMs);

    void setConnectTimeoutMs(int ms) { connectTimeoutMs_.store(ms); }
    void setSendTimeoutMs(int ms) { sendTimeoutMs_.store(ms); }

    // The IPv4 address (host byte order) of the last successful Connect.
    uint32_t RemoteAddress() const { return remoteAddress_.load(); }
    // This computer's IPv4 address (host byte order) that connection came from.
    uint32_t LocalAddress() const { return localAddress_.load(); }

    // Gives up for good, from any thread and without waiting for the client's lock: a connection
    // attempt or a send under way ends at once with failure, and every later Connect fails without
    // trying. Used when the program closes.
    void cancel();

    // The calls that may wait (connects, sends, and all that takes the client's lock) must never
    // run on this thread (the GUI thread of the window that owns the client); checked in debug and
    // sanitizer builds.
    void forbidWaitingOn(std::thread::id thread) { forbiddenThread_.store(thread); }

private:
    using Clock = std::chrono::steady_clock;
    // The ticket of the operation under the lock, for as long as it runs.
    class TicketScope;

    void checkThread() const;
    bool connectLocked();
    void disconnectLocked();
    int sendLineLocked(const QByteArray& line);
    bool ensureSocket();
    void releaseSocket();
    void replaceSocket(int fd);
    bool sendAll(const QByteArray& bytes);
    bool attemptConnect(uint32_t address, uint16_t port);
    void changeSetting(QString& setting, const QString& text);
    // Waits until fd reports `events`, up to `own` or the hurry that covers the operation,
    // whichever comes first; a cancel ends the wait. True when fd is ready.
    bool waitFor(int fd, short events, Clock::time_point own);
    Clock::time_point cutDeadline(Clock::time_point own) const;

    std::mutex messageMutex_;          // one operation or message at a time; never handed out
    mutable std::mutex settingsMutex_; // guards the three texts for readers on other threads
    QString remoteHost_;
    QString remotePort_;
    QString localPort_;
    mutable std::mutex fdMutex_; // guards fd_ changes against cancel(); never held while waiting
    int fd_ = -1;
    int cancelFd_ = -1;             // an event descriptor that turns readable on cancel()
    int hurryFd_ = -1;              // an event descriptor that wakes a waiting operation on hurry()
    Ticket opTicket_ = kNewest;     // the running operation's ticket; under messageMutex_
    mutable std::mutex hurryMutex_; // the three fields below
    Ticket tickets_ = 0;            // the ticket of work queued now
    Ticket hurriedBelow_ = 0;       // work with an older ticket is hurried ...
    Clock::time_point hurryDeadline_; // ... to end by then
    std::atomic<std::thread::id> forbiddenThread_{};
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> connected_{false};
    std::atomic<bool> active_{false};
    std::atomic<uint32_t> remoteAddress_{0};
    std::atomic<uint32_t> localAddress_{0};
    std::atomic<int> connectTimeoutMs_{kConnectTimeoutMs};
    std::atomic<int> sendTimeoutMs_{kSendTimeoutMs};
};
