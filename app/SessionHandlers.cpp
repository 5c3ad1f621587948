// Encrypted sessions with the peer, as the window runs them: this copy's key, when a Connect opens
// sessions, what each listener accepts, the key the peer shows (the same on every channel, and the
// verified one for a verified peer), the warnings, and the code both users compare.
//
// A Connect opens sessions only with a peer that offers them (its announcement on the network),
// that was verified before, or whose address-book entry is marked for encryption; never otherwise,
// so a peer that speaks only the plain protocol never sees a byte of a session. While connected,
// the first key the peer shows is pinned for the connection: a session with another key is refused
// on every channel.

#include "app/MainForm.h"

#include "app/EncryptionLock.h"
#include "common/GuiThread.h"
#include "crypto/TlsEngine.h"
#include "net/TcpChannel.h"
#include "trade/EventSockets.h"

#include <QHostAddress>
#include <QPushButton>

#include <utility>

namespace {
QString shortKey(const QByteArray& key) {
    return QString::fromLatin1(key.left(4).toHex().toUpper());
}
} // namespace

void TForm1::setUpSessions() {
    const IdentityLoad load = loadOrCreateIdentity(programFolder_);
    QString error = load.error;
    if (load.identity)
        tlsContext_ = TlsContext::create(*load.identity, &error);
    if (!tlsContext_) {
        appendChatLog(QStringLiteral("Encryption is not available: %1").arg(error));
        return;
    }
    const struct {
        Channel channel;
        TTcpClient* client;
        TTcpServer* server;
    } lines[] = {{Channel::Chat, ChatClient.get(), ChatServer.get()},
                 {Channel::Trade, TradeClient.get(), TradeServer.get()},
                 {Channel::Plot, Plot_Client.get(), Plot_Server.get()}};
    for (const auto& line : lines) {
        const Channel channel = line.channel;
        line.client->OnSecurity = [this, channel](const SecurityEvent& event) {
            sessionEvent(channel, false, event);
        };
        line.server->OnSecurity = [this, channel](const SecurityEvent& event) {
            sessionEvent(channel, true, event);
        };
        line.server->Admits = [this, channel](const LineMessage& message) {
            return admitsMessage(channel, message);
        };
    }
    connect(DownloadServer, &TServerSocket::securityEvent, this,
            [this](const SecurityEvent& event) { sessionEvent(Channel::Download, true, event); });
    connect(DownloadClient, &TClientSocket::securityEvent, this,
            [this](const SecurityEvent& event) { sessionEvent(Channel::Download, false, event); });
    ChatClient->OnControl = [this](const QByteArray& payload) { verifyControl(0, payload); };
    ChatServer->OnControl = [this](uint64_t session, const QByteArray& payload) {
        verifyControl(session, payload);
    };
    connect(this, &TForm1::verifyPeerRequested, this, [this] { startVerification(); });
    connect(Button9, &QPushButton::clicked, this,
            [this] { guarded([this] { allowPlainThisSession(); }); });
    connect(this, &TForm1::peerVerificationDecided, this, &TForm1::verificationDecided);
    connect(this, &TForm1::encryptionChoiceChanged, this, [this] { applySessionPolicies(); });
    connect(this, &TForm1::pairingForgotten, this, [this] {
        sessions_.plainRefused = 0;
        applySessionPolicies();
        showSessionSecurity();
    });
    applySessionPolicies();
    setOwnIdentity(load.identity->fingerprint);
}

bool TForm1::sessionsOn() const {
    return tlsContext_ && encryptionChoice_ != EncryptionChoice::Off;
}

// The verified peer this connection goes to: by the key it showed, else by its address-book entry.
const Pairing* TForm1::verifiedPeer() const {
    if (!sessions_.key.isEmpty())
        return pairings_.byKey(sessions_.key);
    return sessions_.address.isEmpty() ? nullptr : pairings_.byAddress(sessions_.address);
}

SessionPolicy TForm1::listenerPolicy() const {
    SessionPolicy policy;
    if (!sessionsOn())
        return policy;
    policy.context = tlsContext_;
    if (connectedPeer != 0) {
        policy.expectedKey = sessions_.key;
        policy.refusePlain = encryptionChoice_ == EncryptionChoice::Required ||
                             (verifiedPeer() && !sessions_.plainAllowed);
    } else {
        policy.refusePlain = encryptionChoice_ == EncryptionChoice::Required;
    }
    return policy;
}

// Whether a Connect to this address-book entry opens sessions.
bool TForm1::offersSessions(const QString& address) const {
    if (pairings_.byAddress(address) || markedForEncryption(address))
        return true;
    for (const FoundCopy& copy : foundCopies()) {
        const bool here = copy.host.compare(address, Qt::CaseInsensitive) == 0 ||
                          QHostAddress(copy.address).toString() == address;
        if (here && copy.announcement.encrypted)
            return true;
    }
    return false;
}

void TForm1::applySessionPolicies() {
    const SessionPolicy listen = listenerPolicy();
    SessionPolicy send;
    if (sessionsOn() && sessions_.encrypt) {
        send.context = tlsContext_;
        send.expectedKey = sessions_.key;
    }
    const struct {
        TTcpServer* server;
        TTcpClient* client;
        const char* alpn;
    } lines[] = {{ChatServer.get(), ChatClient.get(), kAlpnChat},
                 {TradeServer.get(), TradeClient.get(), kAlpnTrade},
                 {Plot_Server.get(), Plot_Client.get(), kAlpnPlot}};
    for (const auto& line : lines) {
        line.server->setSessionPolicy(listen, line.alpn);
        line.client->setSessionPolicy(send, line.alpn);
    }
    DownloadServer->setSessionPolicy(listen);
    DownloadClient->setSession(send);
}

// A Connect begins: sessions with this entry when it offers them. With Encryption Required, an
// entry that does not is not connected to at all (false).
bool TForm1::beginSessions(const QString& address) {
    sessions_ = SessionBook();
    sessions_.address = address;
    if (plainAllowedFor_.compare(address, Qt::CaseInsensitive) != 0)
        plainAllowedFor_.clear();
    sessions_.plainAllowed = plainAllowedFor_.compare(address, Qt::CaseInsensitive) == 0;
    sessions_.encrypt = sessionsOn() && offersSessions(address) && !sessions_.plainAllowed;
    if (const Pairing* pairing = pairings_.byAddress(address); pairing && sessions_.encrypt)
        sessions_.key = pairing->key;
    showSessionSecurity();
    applySessionPolicies();
    if (encryptionChoice_ == EncryptionChoice::Required && !sessions_.encrypt) {
        securityWarning(Channel::Chat,
                        QStringLiteral("%1 does not offer encryption, and Encryption is Required")
                            .arg(address));
        return false;
    }
    return true;
}

// The Connect is over: connected, the key the chat session showed is the peer's for the whole
// connection; not connected, nothing of the sessions stays.
void TForm1::settleSessions(bool connected) {
    if (connected && sessions_.key.isEmpty() && ChatClient->Encrypted())
        sessions_.key = ChatClient->PeerKey();
    if (connected && sessions_.key.isEmpty())
        for (const auto& [id, session] : incomingSessions_)
            if (session.address == connectedPeer) {
                sessions_.key = session.key;
                break;
            }
    applySessionPolicies();
    showSessionSecurity();
    if (connected)
        offerVerification();
}

// The key the peer showed first is its key for the rest of the connection: the listeners refuse
// sessions with another from now on.
void TForm1::pinPeerKey(const QByteArray& key) {
    sessions_.key = key;
    applySessionPolicies();
}

bool TForm1::anyWarning() const {
    return std::any_of(sessions_.warning.begin(), sessions_.warning.end(),
                       [](const QString& w) { return !w.isEmpty(); });
}

void TForm1::endSessions() {
    SessionBook ended;
    if (anyWarning()) // a warning stays in sight until the next Connect
        ended.warning = sessions_.warning;
    sessions_ = ended;
    verify_.reset(); // an exchange under way ends with its sessions
    withdrawClock_.invalidate();
    verifyAskedMeanwhile_ = false;
    closeVerifyDialog();
    applySessionPolicies();
    showSessionSecurity();
}

void TForm1::sessionEvent(Channel channel, bool incoming, const SecurityEvent& event) {
    using Kind = SecurityEvent::Kind;
    const bool fromPeerSide = incoming ? fromPeer(event.address) : true;
    switch (event.kind) {
    case Kind::Established:
        if (incoming)
            incomingSessions_[{int(channel), event.session}] = {event.address, event.key,
                                                                event.verifySecret};
        else
            sessions_.outgoing[size_t(channel)] = event.key;
        if (!fromPeerSide || connectedPeer == 0)
            break; // a session of whoever it is; taken as plain messages are, by address
        if (sessions_.key.isEmpty())
            pinPeerKey(event.key);
        offerVerification();
        break;
    case Kind::KeyRefused:
        securityWarning(channel,
                        QStringLiteral("%1 showed another key (%2) than %3")
                            .arg(peerLabel(), shortKey(event.key),
                                 verifiedPeer() ? QStringLiteral("the verified one")
                                                : QStringLiteral("on the other channels")));
        break;
    case Kind::HandshakeFailed:
        sessions_.handshakeFailed = fromPeerSide && verifiedPeer();
        if (fromPeerSide && (sessions_.encrypt || verifiedPeer()))
            securityWarning(channel, QStringLiteral("the encrypted connection to %1 failed (%2)")
                                         .arg(peerLabel(), event.reason));
        break;
    case Kind::PlainRefused:
        plainRefused(channel, event.address);
        break;
    case Kind::RefusedByPeer:
        sessions_.outgoing[size_t(channel)].reset();
        securityWarning(channel, QStringLiteral("%1 refused this copy's key: it knows this copy "
                                                "by another key")
                                     .arg(peerLabel()));
        break;
    case Kind::Ended:
        if (incoming)
            incomingSessions_.erase({int(channel), event.session});
        else
            sessions_.outgoing[size_t(channel)].reset();
        break;
    }
    showSessionSecurity();
}

// What comes from the peer must show its key, or come plain only while plain is allowed. What
// comes from the address of a verified peer before Connect must show that peer's key, or is
// refused: a verified peer is known by its key, and gets no plain stand-in.
bool TForm1::admitsMessage(Channel channel, const LineMessage& message) {
    const bool peer = fromPeer(message.sender);
    const Pairing* known =
        peer ? verifiedPeer() : pairings_.byAddress(QHostAddress(message.sender).toString());
    if (message.session != 0) {
        if (peer && sessions_.key.isEmpty())
            pinPeerKey(message.peerKey);
        const QByteArray& expected = peer ? sessions_.key : known ? known->key : message.peerKey;
        if (message.peerKey == expected)
            return true;
        securityWarning(
            channel, QStringLiteral("%1 showed another key (%2) than the verified one")
                         .arg(QHostAddress(message.sender).toString(), shortKey(message.peerKey)));
        return false;
    }
    if ((peer && listenerPolicy().refusePlain) || (!peer && known && !sessions_.plainAllowed)) {
        plainRefused(channel, message.sender);
        return false;
    }
    if (peer && !std::exchange(sessions_.plainIncoming[size_t(channel)], true))
        showSessionSecurity();
    return true;
}

void TForm1::plainRefused(Channel channel, quint32 address) {
    ++sessions_.plainRefused;
    if (!fromPeer(address) && encryptionChoice_ != EncryptionChoice::Required &&
        !pairings_.byAddress(QHostAddress(address).toString()))
        return;
    securityWarning(channel, QStringLiteral("%1 plain connection(s) from %2 refused")
                                 .arg(sessions_.plainRefused)
                                 .arg(QHostAddress(address).toString()));
}

void TForm1::securityWarning(Channel channel, const QString& reason) {
    QString& shown = sessions_.warning[size_t(channel)];
    if (shown == reason)
        return;
    // One line in the log for a channel's first warning, unless another channel told the same.
    const bool told =
        !shown.isEmpty() || std::find(sessions_.warning.begin(), sessions_.warning.end(), reason) !=
                                sessions_.warning.end();
    shown = reason;
    if (!told)
        appendChatLog(QStringLiteral("Security warning: %1.").arg(reason));
    showSessionSecurity();
}

// Each channel shows its weakest side: a warning, a plain message, a side with no session while
// the other has one, or else the key's state.
void TForm1::showSessionSecurity() {
    const Pairing* verified = sessions_.key.isEmpty() ? nullptr : pairings_.byKey(sessions_.key);
    for (int c = 0; c < kChannelCount; ++c) {
        ChannelSecurity security;
        const bool out = sessions_.outgoing[size_t(c)].has_value();
        const bool in = std::any_of(
            incomingSessions_.begin(), incomingSessions_.end(), [this, c](const auto& entry) {
                return entry.first.first == c && entry.second.address == connectedPeer;
            });
        if (!sessions_.warning[size_t(c)].isEmpty()) {
            security.level = Protection::Warning;
            security.reason = sessions_.warning[size_t(c)];
        } else if ((out || in) && !sessions_.plainIncoming[size_t(c)]) {
            security.level = verified ? Protection::Verified : Protection::Encrypted;
            if (verified)
                security.peerName = verified->nickname;
        }
        setChannelSecurity(Channel(c), security);
    }
    setVerifyPeerAvailable(ChatClient->Encrypted() && connectedPeer != 0);
    Button9->setVisible((sessions_.plainRefused > 0 || sessions_.handshakeFailed) &&
                        !sessions_.plainAllowed && encryptionChoice_ != EncryptionChoice::Required);
}

QString TForm1::peerLabel() const {
    if (const Pairing* verified = verifiedPeer())
        return verified->nickname.isEmpty() ? verified->address : verified->nickname;
    return sessions_.address.isEmpty() ? QStringLiteral("the peer") : sessions_.address;
}

// The first time a session with an unverified key starts, one line in the log offers to verify.
void TForm1::offerVerification() {
    if (sessions_.key.isEmpty() || pairings_.byKey(sessions_.key) ||
        offeredVerification_.contains(sessions_.key) || connectedPeer == 0 || anyWarning())
        return;
    offeredVerification_.insert(sessions_.key);
    appendChatLog(QStringLiteral("The connection to %1 is encrypted but not verified: click "
                                 "\"Verify peer\u2026\" on the \"Connected to\" page and compare "
                                 "the code with the other screen.")
                      .arg(peerLabel()));
}

// Until this copy connects elsewhere or ends: the peer's own choice may be to speak plain now.
void TForm1::allowPlainThisSession() {
    sessions_.plainAllowed = true;
    plainAllowedFor_ = sessions_.address;
    appendChatLog(QStringLiteral("Unencrypted connections with %1 are allowed until this copy "
                                 "connects elsewhere or ends; Connect again to use them.")
                      .arg(peerLabel()));
    sessions_.warning = {};
    applySessionPolicies();
    showSessionSecurity();
}

// Between two copies whose trade and download connections are sessions, the pauses the protocol
// keeps for plain peers (around each upload, and the Delay before asking for the next file) serve
// nothing.
bool TForm1::linkAtFullSpeed() const {
    return connectedPeer != 0 && sessions_.outgoing[size_t(Channel::Trade)] &&
           sessions_.outgoing[size_t(Channel::Download)];
}

int TForm1::tradePauseMs() const {
    return linkAtFullSpeed() ? 0 : uploadPauseMs;
}
