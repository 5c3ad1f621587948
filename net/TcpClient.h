#pragma once
// The client endpoint of a line-message channel, as the window holds it. Its socket lives on the
// network thread (net/LineClient.h); this side keeps the settings, queues work there without
// waiting, and shows the state the network thread last reported. Every `done` runs on the
// window's thread, after the state below has taken the outcome in.

#include "net/LineClient.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <functional>

class Mailbox;
class NetworkThread;

class TTcpClient {
public:
    TTcpClient(NetworkThread& network, Mailbox& window);
    TTcpClient(const TTcpClient&) = delete;
    TTcpClient& operator=(const TTcpClient&) = delete;

    // Setting a text different from the stored one disconnects first.
    QString RemoteHost() const { return remoteHost_; }
    void setRemoteHost(const QString& host);
    QString RemotePort() const { return remotePort_; }
    void setRemotePort(const QString& port);
    // Stored only: the system always chooses the local port of a connection.
    QString LocalPort() const { return localPort_; }
    void setLocalPort(const QString& port) { localPort_ = port; }

    // Already connected: true. Otherwise one attempt to RemoteHost:RemotePort. Throws
    // ProgramError, before anything happens, for a port text that is not a port.
    void Connect(std::function<void(bool connected)> done = {});
    // Shuts a connection down both ways and releases the socket; safe in any state.
    void Disconnect(std::function<void()> done = {});
    bool Connected() const { return state_.connected; }
    // True while a socket is held, connected or not.
    bool Active() const { return state_.active; }
    void setActive(bool active, std::function<void()> done = {});

    // One whole message: each line while connected, then Disconnect and Connect. With
    // ifConnected, a client not connected when its turn comes sends nothing and keeps its state.
    // `kind` (not 0): a message of the same kind still queued is replaced by this one. done gets
    // the number of lines that went out, -1 when nothing was sent (not connected, replaced,
    // dropped, or the program closing).
    struct Message {
        QList<QByteArray> lines;
        bool ifConnected = false;
        int kind = 0;
    };
    void send(Message message, std::function<void(int sent)> done = {});
    // Drops the queued messages of a kind.
    void dropQueued(int kind);
    // Everything queued before this call must be over within graceMs; what is queued afterwards
    // is not touched.
    void hurry(int graceMs);
    // Gives up for good: what runs ends now, everything later fails at once. Used when closing.
    void cancel();

    // Sessions: taken at the next connect (net/SessionPolicy.h). alpn: the channel's name.
    void setSessionPolicy(const SessionPolicy& policy, const QByteArray& alpn);
    // A session control frame, queued as a message is; dropped when no session is up then.
    void sendControl(const QByteArray& payload);
    // On the window's thread: what happens to the sessions (the state above has taken it in),
    // and the control frames the peer sends back on them.
    std::function<void(const SecurityEvent& event)> OnSecurity;
    std::function<void(const QByteArray& payload)> OnControl;
    bool Encrypted() const { return state_.encrypted; }
    QByteArray PeerKey() const { return state_.peerKey; }
    QByteArray VerifySecret() const { return state_.verifySecret; }

    void setConnectTimeoutMs(int ms);
    void setSendTimeoutMs(int ms);

    // The IPv4 addresses (host byte order) of the last connection: the peer's, and this
    // computer's it came from.
    uint32_t RemoteAddress() const { return state_.remote; }
    uint32_t LocalAddress() const { return state_.local; }

    // The network thread has ended, and with it every socket.
    void networkEnded() { state_ = {}; }

    // On the network thread: the client's own half (for the window's closing step).
    LineClient* onNetwork() const { return client_; }

private:
    void queue(LineClient::Work work, std::function<void(int)> done);
    uint16_t portOrZero() const;

    NetworkThread& network_;
    Mailbox& window_;
    LineClient* client_; // lives on the network thread
    QString remoteHost_;
    QString remotePort_;
    QString localPort_;
    LineClient::State state_;
};
