#include "trade/DownloadSessions.h"

#include "crypto/Frames.h"
#include "net/HandshakeLimits.h"
#include "net/TlsSocket.h"
#include "trade/FileHeader.h"

namespace {
// The longest data frame: the largest header and the largest file a header can announce.
constexpr qint64 kMaxDownloadFrameBytes = kFileHeaderBytes + kMaxSendableFileBytes;
static_assert(kMaxDownloadFrameBytes <= kMaxFramePayload);
} // namespace

DownloadSessions::DownloadSessions(const DownloadRules& rules, QObject* parent)
    : QObject(parent), rules_(rules) {}

DownloadSessions::~DownloadSessions() {
    changed = nullptr;
    closeWhere([](quint32) { return true; });
}

bool DownloadSessions::start(qintptr fd, quint32 peer) {
    if (!policy_.context)
        return false;
    std::unique_ptr<HandshakeSlot> slot = takeHandshakeSlot(peer);
    if (!slot)
        return false;
    TlsSocket::Settings settings;
    settings.context = policy_.context;
    settings.role = TlsEngine::Role::Server;
    settings.alpn = kAlpnDownload;
    settings.maxFramePayload = kMaxDownloadFrameBytes;
    settings.mode = FrameReader::Mode::Streaming;
    auto* tls = new TlsSocket(fd, settings, this);
    sessions_[tls] = Session{peer, std::move(slot), nullptr};
    tls->handshakeDone = [this, tls] { keyCheck(tls); };
    tls->frameArrived = [this, tls](const FrameEvent& event) { frame(tls, event); };
    tls->ended = [this, tls](const QString& reason) { ended(tls, reason); };
    if (changed)
        changed();
    return true;
}

// Nothing of the session is read before the peer's key passes; one that fails hears nothing.
void DownloadSessions::keyCheck(TlsSocket* tls) {
    Session& session = sessions_.at(tls);
    session.slot.reset();
    const QByteArray key = tls->peerFingerprint();
    if (!policy_.keyPasses(key)) {
        tell(SecurityEvent::Kind::KeyRefused, session.peer, key);
        drop(tls);
        return;
    }
    session.receiver = std::make_unique<FileReceiver>(
        session.peer, tls,
        [this, tls] {
            // The receiver cut its sender (a stall, a flood, a sender no longer admitted).
            tls->abort();
            QMetaObject::invokeMethod(
                tls, [this, tls] { ended(tls, QStringLiteral("the download was cut off here")); },
                Qt::QueuedConnection);
        },
        rules_);
    tell(SecurityEvent::Kind::Established, session.peer, key);
    tls->admit();
}

// Each data frame holds exactly one file: one that ends in the middle of it is dropped.
void DownloadSessions::frame(TlsSocket* tls, const FrameEvent& event) {
    FileReceiver* receiver = sessions_.at(tls).receiver.get();
    if (!receiver)
        return;
    switch (event.kind) {
    case FrameEvent::Kind::DataPiece:
        receiver->take(event.bytes);
        break;
    case FrameEvent::Kind::DataEnd:
        receiver->expectFileBoundary();
        break;
    case FrameEvent::Kind::Data: // not handed out while streaming
    case FrameEvent::Kind::DataBegin:
    case FrameEvent::Kind::Control: // nothing of the session's own is spoken on this channel
        break;
    }
}

void DownloadSessions::ended(TlsSocket* tls, const QString& reason) {
    const auto it = sessions_.find(tls);
    if (it == sessions_.end())
        return;
    if (FileReceiver* receiver = it->second.receiver.get()) {
        receiver->connectionClosed(); // a file in the middle is dropped
        tell(SecurityEvent::Kind::Ended, it->second.peer, tls->peerFingerprint(), reason);
    } else {
        tell(SecurityEvent::Kind::HandshakeFailed, it->second.peer, {}, reason);
    }
    drop(tls);
}

void DownloadSessions::closeWhere(const std::function<bool(quint32 peer)>& doomed) {
    std::vector<TlsSocket*> closing;
    for (auto& [tls, session] : sessions_)
        if (doomed(session.peer))
            closing.push_back(tls);
    for (TlsSocket* tls : closing) {
        Session& session = sessions_.at(tls);
        const bool established = session.receiver != nullptr;
        const quint32 peer = session.peer;
        session.receiver.reset(); // removes a partial file
        tls->abort();
        if (established) // ended here, on purpose
            tell(SecurityEvent::Kind::Ended, peer, tls->peerFingerprint());
        drop(tls);
    }
}

// The session is over: it goes, with its receiver and any slot it held.
void DownloadSessions::drop(TlsSocket* tls) {
    const auto it = sessions_.find(tls);
    if (it == sessions_.end())
        return;
    tls->abort(); // none of its callbacks runs after this
    sessions_.erase(it);
    tls->deleteLater();
    if (changed)
        changed();
}

void DownloadSessions::tell(SecurityEvent::Kind kind, quint32 peer, const QByteArray& key,
                            const QString& reason) {
    if (!report)
        return;
    SecurityEvent event;
    event.kind = kind;
    event.address = peer;
    event.key = key;
    event.reason = reason;
    report(event);
}
