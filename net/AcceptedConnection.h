#pragma once
// One connection a line listener accepted, on the network thread: it waits idle until its first
// bytes (or its end) come, then its message is read as the bytes arrive, within a deadline that
// counts from those first bytes.

#include "net/LineMessage.h"
#include "net/MessageReader.h"

#include <QObject>
#include <QTimer>

#include <functional>

class QSocketNotifier;

class TCustomIpClient : public QObject {
public:
    enum class Phase {
        Idle,     // nothing came yet
        Begun,    // bytes came; waiting for its turn to be read
        Reading,  // being read
        Complete, // its message is whole
        Dropped   // ended without a message that counts
    };

    // Takes the non-blocking connected socket fd. `changed` is called on each change of phase
    // after Idle, and when bytes arrive on an idle connection.
    TCustomIpClient(int fd, LineMessage from, MessageShape shape,
                    std::function<void(TCustomIpClient*)> changed, QObject* parent);
    ~TCustomIpClient() override;

    Phase phase() const { return phase_; }
    uint32_t sender() const { return message_.sender; }
    // Its place among the messages begun on the listener.
    uint64_t index() const { return message_.index; }

    // The first bytes came: the deadline starts, and the message waits its turn.
    void begin(uint64_t index, int deadlineMs);
    // Its turn: reads what has come and goes on reading as more arrives.
    void startReading();
    // Ends the connection; a message not yet whole is dropped. `tell`: the change is told as any
    // other (the deadline's drop), not when the listener drops it itself.
    void drop(bool tell = true);
    // The whole message, once Complete.
    LineMessage takeMessage();
    // Up to two of the bytes that came, without taking them from the connection.
    QByteArray peekFirstBytes() const;
    // Gives the socket away (to an encrypted session) with its address; the connection is over.
    int releaseSocket();
    const LineMessage& from() const { return message_; }

private:
    void readable();
    void readAll();
    void settle(MessageReader::State state);
    void release();

    int fd_;
    QSocketNotifier* notifier_ = nullptr;
    QTimer deadline_{this};
    MessageReader reader_;
    LineMessage message_;
    Phase phase_ = Phase::Idle;
    std::function<void(TCustomIpClient*)> changed_;
};
