#pragma once
// The download listener's encrypted sessions, on the network thread. A connection that opened
// with a TLS ClientHello becomes a session (server side, the download channel's ALPN name) while
// a handshake slot is free; once the peer's key passes the policy's check, each data frame it
// carries is exactly what one plain connection carries for one file, the file header and the
// file's bytes, and goes piece by piece into a FileReceiver under the same rules as the plain
// path. A frame cut off, or a session that ends without TLS's close, leaves no file. Control
// frames are ignored on this channel. Nothing of a session is read before its key check.

#include "net/SessionPolicy.h"
#include "trade/FileReceiver.h"

#include <QObject>

#include <functional>
#include <map>
#include <memory>

class HandshakeSlot;
class TlsSocket;
struct FrameEvent;

class DownloadSessions : public QObject {
public:
    DownloadSessions(const DownloadRules& rules, QObject* parent);
    ~DownloadSessions() override;

    // What each session has come to; and that the number of sessions changed.
    std::function<void(const SecurityEvent&)> report;
    std::function<void()> changed;

    void setPolicy(const SessionPolicy& policy) { policy_ = policy; }
    const SessionPolicy& policy() const { return policy_; }

    // Starts a session on the connected descriptor fd from peer, taking the descriptor; false
    // (fd left to the caller) without a context or a free handshake slot.
    bool start(qintptr fd, quint32 peer);
    // Sessions not yet ended (handshaking or established).
    int count() const { return int(sessions_.size()); }
    // Ends at once every session whose peer `doomed` names, with the file it was receiving;
    // nothing is reported of its files, and an established one is reported Ended (no reason).
    void closeWhere(const std::function<bool(quint32 peer)>& doomed);

private:
    struct Session {
        quint32 peer = 0;
        std::unique_ptr<HandshakeSlot> slot;    // until the handshake is over
        std::unique_ptr<FileReceiver> receiver; // once the key passed
    };

    void keyCheck(TlsSocket* tls);
    void frame(TlsSocket* tls, const FrameEvent& event);
    void ended(TlsSocket* tls, const QString& reason);
    void drop(TlsSocket* tls);
    void tell(SecurityEvent::Kind kind, quint32 peer, const QByteArray& key = {},
              const QString& reason = {});

    const DownloadRules& rules_;
    SessionPolicy policy_;
    std::map<TlsSocket*, Session> sessions_;
};
