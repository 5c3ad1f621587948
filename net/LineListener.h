#pragma once
// The network thread's half of a line listener: the listening socket, the connections it accepted
// and the reading of their messages. Whole messages leave it in the order their first bytes came,
// one after another, through `deliver`; the window says when it has applied one (delivered()).
//
// Bounds, each kept here: at most kMaxHeldConnections connections held at once (a new one pushes
// out the idle connection that waited longest, and is closed when none is idle); at most
// kWorkersPerListener messages being read or waiting for the window at once; each message within
// its deadline from its first bytes and within its channel's shape. While an allowed peer is set,
// other addresses are closed at accept and when their bytes begin.
//
// A connection whose first bytes are a TLS ClientHello becomes an encrypted session
// (net/AcceptedSession.h) when the session policy allows one, and is closed otherwise; each of its
// data frames is delivered as one message, under the same bounds. While the policy refuses plain
// connections, a connection with other first bytes is closed and reported.

#include "net/AcceptedConnection.h"
#include "net/AcceptedSession.h"
#include "net/ChannelLimits.h"
#include "net/LineMessage.h"
#include "net/MessageReader.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <functional>
#include <list>

class QSocketNotifier;

class LineListener : public QObject {
public:
    // What the window shows of the listener.
    struct State {
        bool listening = false;
        uint16_t port = 0; // the port listened on, 0 when not listening
        QString error;     // the reason of the last failed bind or listen
    };

    explicit LineListener(std::function<void(LineMessage)> deliver);
    ~LineListener() override;

    // Binds address:port and listens; a listener already listening stays as it is.
    State open(uint32_t address, uint16_t port, MessageShape shape);
    // Stops accepting. Connections already accepted keep going.
    State close();
    // Ends every connection held.
    void shutdownConnections();
    // 0: anyone; otherwise only this IPv4 address (host byte order) is served.
    void setAllowedPeer(uint32_t peer) { allowedPeer_ = peer; }
    void closeConnectionsNotFrom(uint32_t peer);
    void setMessageDeadlineMs(int ms) { deadlineMs_ = ms; }
    // The window has applied one delivered message.
    void delivered();
    // For the connections that begin from now on. alpn: the channel's name in a session.
    void setSessionPolicy(SessionPolicy policy, QByteArray alpn);
    // Sends a control frame on an established session (nothing when it is gone).
    void sendControl(uint64_t session, const QByteArray& payload);
    std::function<void(const SecurityEvent& event)> onSecurity;
    std::function<void(uint64_t session, const QByteArray& payload)> onControl;

    // Sessions held at once, at most; a peer needs one per channel.
    static constexpr int kMaxSessions = 8;

private:
    bool bindAndListen(uint32_t address, uint16_t port);
    void acceptPending();
    bool makeRoom();
    bool admits(uint32_t address) const { return allowedPeer_ == 0 || allowedPeer_ == address; }
    void changed(TCustomIpClient* connection);
    void forget(TCustomIpClient* connection);
    void deliverInOrder();
    void startWaiting();
    int busy() const;
    void startSession(TCustomIpClient* connection);
    void forgetSession(AcceptedSession* session);
    void refusePlain(TCustomIpClient* connection);
    void pauseSessions(bool paused);

    std::function<void(LineMessage)> deliver_;
    MessageShape shape_;
    int listenFd_ = -1;
    QSocketNotifier* accepting_ = nullptr;
    QTimer acceptPause_{this}; // accepting rests after accept() lacked descriptors or memory
    State state_;
    uint32_t allowedPeer_ = 0;
    int deadlineMs_ = kMessageDeadlineMs;
    uint64_t begun_ = 0;                 // messages begun so far: the next one's index
    int awaitingWindow_ = 0;             // delivered, not yet applied by the window
    std::list<TCustomIpClient*> held_;   // oldest first
    std::deque<TCustomIpClient*> order_; // begun, in the order their bytes came
    SessionPolicy policy_;
    QByteArray alpn_;
    std::list<AcceptedSession*> sessions_;
    uint64_t nextSession_ = 1;
};
