#pragma once
// The listener endpoint of a line-message channel, as the window holds it. Its sockets live on the
// network thread (net/LineListener.h); this side keeps the settings, shows what the network thread
// last reported, and hands each whole message to the accept handler on the window's thread, one
// at a time, in the order the messages began.

#include "net/LineListener.h"
#include "net/LineMessage.h"
#include "net/MessageReader.h"

#include <QString>

#include <cstdint>
#include <functional>

class Mailbox;
class NetworkThread;

class TTcpServer {
public:
    // Takes the message over: a large one is handed on without a copy.
    using AcceptHandler = std::function<void(TTcpServer* sender, LineMessage message)>;
    using Done = std::function<void()>;

    // window: the mailbox of the thread that owns this endpoint, where handlers and `done` run.
    TTcpServer(NetworkThread& network, Mailbox& window);
    TTcpServer(const TTcpServer&) = delete;
    TTcpServer& operator=(const TTcpServer&) = delete;

    // Setting a text different from the stored one closes first.
    QString LocalHost() const { return localHost_; }
    void setLocalHost(const QString& host);
    QString LocalPort() const { return localPort_; }
    void setLocalPort(const QString& port);

    // Runs for each whole message, on the window's thread.
    AcceptHandler OnAccept;
    // How this channel's messages end and how large they may be; taken at each Open.
    MessageShape shape;

    // Binds, listens and starts accepting; `done` runs once the state below tells the outcome. A
    // failed bind or listen leaves the listener not listening and records lastError(). Throws
    // ProgramError, before anything happens, for a port text that is not a port.
    void Open(Done done = {});
    // Stops accepting. Connections already accepted keep going.
    void Close(Done done = {});
    bool Active() const { return active_; }
    void setActive(bool active, Done done = {});
    bool Listening() const { return state_.listening; }
    QString lastError() const { return state_.error; }
    uint16_t boundPort() const { return state_.port; }

    // Ends every accepted connection.
    void shutdownConnections();
    // While peer (IPv4, host byte order) is not 0, only its messages are taken: others are closed
    // at accept and when their bytes begin, and one still on its way to the handler is dropped.
    void setAllowedPeer(uint32_t peer);
    // Closes every connection held from an address other than peer.
    void closeConnectionsNotFrom(uint32_t peer);
    // How long a begun message may take, for the messages begun from now on.
    void setMessageDeadlineMs(int ms);
    // Sessions, for the connections that begin from now on (net/SessionPolicy.h).
    void setSessionPolicy(const SessionPolicy& policy, const QByteArray& alpn);
    void sendControl(uint64_t session, const QByteArray& payload);
    // On the window's thread: what happens to the sessions and refused connections, and the
    // control frames that arrive on a session.
    std::function<void(const SecurityEvent& event)> OnSecurity;
    std::function<void(uint64_t session, const QByteArray& payload)> OnControl;
    // Asked before OnAccept: a message it refuses is not handed on.
    std::function<bool(const LineMessage& message)> Admits;
    // The network thread has ended, and with it every socket.
    void networkEnded() {
        active_ = false;
        state_ = {};
    }

private:
    void report(const LineListener::State& state, const Done& done);
    void take(LineMessage message);

    NetworkThread& network_;
    Mailbox& window_;
    LineListener* listener_; // lives on the network thread
    QString localHost_;
    QString localPort_;
    bool active_ = false;
    LineListener::State state_;
    uint32_t allowedPeer_ = 0;
};
