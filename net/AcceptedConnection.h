#pragma once
// The listener's side of one line-message connection (net/TcpChannel.h): its lines, one by one.

#include "net/ChannelLimits.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

// One accepted connection, handed to an accept handler. The handler only reads from it.
class TCustomIpClient {
public:
    // Takes ownership of the connected socket fd; the peer's address and port are kept as text.
    // Once the first receive starts, the whole message must have come within deadlineMs.
    TCustomIpClient(int fd, QString remoteHost, QString remotePort,
                    int deadlineMs = kMessageDeadlineMs);
    ~TCustomIpClient();
    TCustomIpClient(const TCustomIpClient&) = delete;
    TCustomIpClient& operator=(const TCustomIpClient&) = delete;

    // Blocks until a whole line arrived and returns it without its CR LF. When the connection ends
    // (or a receive fails) first, returns the bytes since the last CR LF, empty when none came.
    // A line longer than kMaxLineBytes ends the connection: the call returns the empty string and
    // so does every later call. So does a message still unfinished when its deadline passes; it
    // counts as cut off then. Never throws.
    QByteArray ReceiveLine();
    // True once the message was cut off at its deadline, or the connection was revoked: what came
    // of it is not the whole message.
    bool cutOff() const { return cutOff_ || revoked_.load(); }

    QString RemoteHost() const { return remoteHost_; }
    QString RemotePort() const { return remotePort_; }

    // Shuts the connection down both ways, so a ReceiveLine blocked on another thread returns.
    // The socket itself stays held until the object is destroyed.
    void shutdownBoth();
    // Ends the connection from any thread because its sender may no longer speak here: a read
    // under way returns, every later ReceiveLine returns the empty string and cutOff() is true.
    void revoke();

    // The message began now (its first bytes arrived): its deadline counts from here. Without
    // this call it counts from the first ReceiveLine.
    void startDeadline();

    // This connection's place among those its listener handed to handlers, in the order their first
    // bytes (or their ends) arrived: 0 for the first, counting up. For a peer that opens its next
    // connection ahead of time this is the order of its messages.
    uint64_t acceptIndex() const { return acceptIndex_; }
    void setAcceptIndex(uint64_t index) { acceptIndex_ = index; }

private:
    bool fillBuffer();

    int fd_;
    QString remoteHost_;
    QString remotePort_;
    QByteArray buffer_; // received bytes not yet returned, from start_ on
    qsizetype start_ = 0;
    qsizetype scanned_ = 0; // bytes from start_ known to hold no CR LF
    bool ended_ = false;
    bool cutOff_ = false;
    std::atomic<bool> revoked_{false};
    int deadlineMs_;
    std::optional<std::chrono::steady_clock::time_point> deadline_; // set by the first receive
    uint64_t acceptIndex_ = 0;
};
