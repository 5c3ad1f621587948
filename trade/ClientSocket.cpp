// The download client. Each Open makes one UploadConnection, whose QTcpSocket lives on the network
// thread; it reads the file being sent in pieces whenever the socket has drained below a small
// window, so the file is never held in memory and the window never waits for a slow peer. Close
// lets the connection go: what it still reports belongs to an earlier session and is not taken.
//
// With a session policy that has a context, the connection, once made, carries an encrypted
// session (client side, the download channel's ALPN name): nothing is sent before the peer's key
// passes the policy's check, and then each file goes as one data frame, its header and its bytes,
// read piece by piece as the session drains. A file that ends early aborts the session, so the
// receiver drops the cut-off frame, and a fresh one is opened.

#include "trade/EventSockets.h"

#include "common/GuiThread.h"
#include "common/ProgramError.h"
#include "net/NetworkThread.h"
#include "net/TlsSocket.h"
#include "trade/FileHeader.h"
#include "trade/TransferProgress.h"

#include <QIODevice>
#include <QTcpSocket>

#include <algorithm>
#include <cstring>
#include <utility>

#include <fcntl.h>

namespace {
// One read from the file; and how much may wait in the socket's own buffer before more is read.
// Together they bound the sender's memory at about 1.25 MiB whatever the file's size.
constexpr qint64 kSendPieceBytes = 0x40000;
constexpr qint64 kSendWindowBytes = 1024 * 1024;
// In a session: one read, and how much may wait encrypted or not yet encrypted.
constexpr qint64 kSessionPieceBytes = 0x10000;
constexpr qint64 kSessionWindowBytes = 0x40000;

QString socketErrorText(int code, const QString& reason) {
    return QStringLiteral("Socket-Fehler %1: %2").arg(code).arg(reason);
}

} // namespace

class UploadConnection : public QObject {
public:
    // Reports go to `owner` through `window`, marked with the owner's session.
    UploadConnection(TClientSocket* owner, Mailbox& window, uint64_t session, SessionPolicy policy)
        : owner_(owner), window_(window), session_(session), policy_(std::move(policy)) {}
    ~UploadConnection() override { close(); }

    void open(const QString& host, quint16 port) {
        close();
        host_ = host;
        port_ = port;
        socket_ = new QTcpSocket(this);
        connect(socket_, &QTcpSocket::connected, this, [this] {
            if (policy_.context)
                startSession();
            else
                pump();
        });
        connect(socket_, &QTcpSocket::bytesWritten, this, &UploadConnection::pump);
        connect(socket_, &QTcpSocket::errorOccurred, this, &UploadConnection::fail);
        connect(socket_, &QTcpSocket::stateChanged, this, [this](QAbstractSocket::SocketState s) {
            // A session counts as connected once the peer's key has passed.
            if (s != QAbstractSocket::ConnectedState || !policy_.context)
                tellConnected(s == QAbstractSocket::ConnectedState);
        });
        socket_->connectToHost(host_, port_);
    }

    // Lets the connection go. A session between files ends cleanly (TLS's close) when asked;
    // otherwise, or in the middle of a file, it is cut.
    void close(bool clean = false) {
        const bool midFile = file_ != nullptr;
        endFile();
        endSession(clean && !midFile);
        if (!socket_)
            return;
        socket_->disconnect(this);
        socket_->abort();
        socket_->deleteLater();
        socket_ = nullptr;
    }

    void send(const QByteArray& header, std::shared_ptr<QIODevice> file, qint64 bodySize) {
        if (!socket_ && !tls_) {
            endFile();
            tell([](TClientSocket* owner) { owner->sending_ = false; });
            return;
        }
        header_ = header;
        const std::optional<FileHeader> decoded = decodeFileHeader(header);
        name_ = decoded ? decoded->name : QByteArray();
        file_ = std::move(file);
        total_ = bodySize;
        remaining_ = bodySize;
        throttle_.restart();
        pump();
    }

    // The window has taken one event.
    void eventTaken() { --queued_; }

private:
    bool connectedNow() const {
        if (tls_)
            return established_;
        return socket_ && socket_->state() == QAbstractSocket::ConnectedState;
    }

    // Bytes handed on and not yet taken by the system.
    qint64 inFlight() const { return tls_ ? tls_->unsent() : socket_->bytesToWrite(); }

    // The header goes first: in a session, after the length of the frame that holds the file
    // (false: the file is too large for one).
    bool putHeader() {
        if (!tls_) {
            socket_->write(header_);
        } else {
            const QByteArray frame = frameHeader(header_.size() + total_);
            if (frame.isEmpty())
                return false;
            tls_->send(frame + header_);
        }
        header_.clear();
        return true;
    }

    // Tops the socket's buffer up from the file; runs again whenever the socket has sent some.
    void pump() {
        if (!file_ || !connectedNow())
            return;
        if (!header_.isEmpty() && !putHeader()) {
            reportProgress(0, true); // nothing of it went
            endFile();
            return;
        }
        const qint64 window = tls_ ? kSessionWindowBytes : kSendWindowBytes;
        while (remaining_ > 0 && inFlight() < window) {
            buffer_.resize(std::min(remaining_, tls_ ? kSessionPieceBytes : kSendPieceBytes));
            const qint64 got = file_->read(buffer_.data(), buffer_.size());
            if (got <= 0) {
                cutShrunkFile();
                return;
            }
            if (tls_) {
                buffer_.resize(got);
                tls_->send(std::exchange(buffer_, {}));
            } else {
                socket_->write(buffer_.constData(), got);
            }
            remaining_ -= got;
        }
        const qint64 sent = total_ - remaining_ - std::min(inFlight(), total_);
        const bool done = remaining_ == 0 && inFlight() == 0;
        reportProgress(std::max<qint64>(0, sent), done);
        if (done)
            endFile();
    }

    // The file is shorter than its header said: the receiver must not take what it got for the
    // whole file, so this connection ends mid-file and the next file goes on a fresh one.
    void cutShrunkFile() {
        reportProgress(total_ - remaining_, true);
        endFile();
        if (tls_) {
            open(host_, port_); // cuts the session: the receiver drops the frame
            return;
        }
        // What was written still goes out, then the end of the connection tells the receiver.
        QTcpSocket* old = std::exchange(socket_, nullptr);
        old->disconnect(this);
        connect(old, &QTcpSocket::disconnected, old, &QObject::deleteLater);
        old->disconnectFromHost();
        open(host_, port_);
    }

    void fail(QAbstractSocket::SocketError code) {
        if (!socket_)
            return;
        const QString message = socketErrorText(int(code), socket_->errorString());
        close();
        if (code == QAbstractSocket::RemoteHostClosedError)
            return; // the peer went offline or quit: the channel just ends
        event([code = int(code), message](TClientSocket* owner) {
            owner->sending_ = false;
            emit owner->error(code, message);
        });
    }

    void reportProgress(qint64 sent, bool ended) {
        if (!throttle_.due(ended))
            return;
        event([name = name_, sent, total = total_, ended](TClientSocket* owner) {
            if (ended)
                owner->sending_ = false;
            emit owner->progress(name, sent, total, ended);
        });
    }

    // The connection is made: the session's handshake starts on its descriptor, which the
    // plain socket gives up (it reads nothing before that: the client speaks first).
    void startSession() {
        QTcpSocket* plain = std::exchange(socket_, nullptr);
        plain->disconnect(this);
        const int fd = ::fcntl(int(plain->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
        const QString failure = fd < 0 ? QString::fromLocal8Bit(strerror(errno)) : QString();
        plain->abort(); // closes its own descriptor only: the connection stays with fd
        plain->deleteLater();
        if (fd < 0) {
            sessionFailed(SecurityEvent::Kind::HandshakeFailed, {}, failure);
            return;
        }
        TlsSocket::Settings settings;
        settings.context = policy_.context;
        settings.role = TlsEngine::Role::Client;
        settings.alpn = kAlpnDownload;
        tls_ = new TlsSocket(fd, settings, this);
        tls_->handshakeDone = [this] { checkKey(); };
        tls_->wrote = [this] { pump(); }; // also after the last bytes have gone
        tls_->ended = [this](const QString& reason) { sessionEnded(reason); };
    }

    void checkKey() {
        const QByteArray key = tls_->peerFingerprint();
        if (!policy_.keyPasses(key)) {
            sessionFailed(SecurityEvent::Kind::KeyRefused, key,
                          QStringLiteral("the peer showed another key than the one expected"));
            return;
        }
        established_ = true;
        tls_->admit(); // nothing is read but TLS's close: the peer sends nothing else here
        security(SecurityEvent::Kind::Established, key);
        tellConnected(true);
        pump();
    }

    // The session could not start: it goes, and the window hears why.
    void sessionFailed(SecurityEvent::Kind kind, const QByteArray& key, const QString& reason) {
        const uint32_t address = tls_ ? tls_->peerAddress() : 0;
        close();
        tellConnected(false);
        security(kind, key, reason, address);
        event([message = socketErrorText(int(QAbstractSocket::SslHandshakeFailedError), reason)](
                  TClientSocket* owner) {
            owner->sending_ = false;
            emit owner->error(int(QAbstractSocket::SslHandshakeFailedError), message);
        });
    }

    void sessionEnded(const QString& reason) {
        if (!established_) {
            sessionFailed(SecurityEvent::Kind::HandshakeFailed, {}, reason);
            return;
        }
        const QByteArray key = tls_->peerFingerprint();
        const uint32_t address = tls_->peerAddress();
        if (file_)
            reportProgress(total_ - remaining_, true); // the file was cut off
        close();
        tellConnected(false);
        security(SecurityEvent::Kind::Ended, key, reason, address);
    }

    void endSession(bool clean) {
        TlsSocket* tls = std::exchange(tls_, nullptr);
        const bool established = std::exchange(established_, false);
        if (!tls)
            return;
        if (clean && established && tls->established()) {
            // It outlives this connection until TLS's close has gone out.
            tls->setParent(parent());
            tls->finish();
            return;
        }
        tls->abort(); // none of its callbacks runs after this
        tls->deleteLater();
    }

    void security(SecurityEvent::Kind kind, const QByteArray& key, const QString& reason = {},
                  uint32_t address = 0) {
        SecurityEvent told;
        told.kind = kind;
        told.address = address ? address : (tls_ ? tls_->peerAddress() : 0);
        told.key = key;
        told.reason = reason;
        event([told](TClientSocket* owner) { emit owner->securityEvent(told); });
    }

    void tellConnected(bool connected) {
        tell([connected](TClientSocket* owner) { owner->connected_ = connected; });
    }

    // Tells the owner, unless it has opened another connection since.
    template <class F> void tell(F&& f) {
        window_.post([owner = owner_, session = session_, f = std::forward<F>(f)] {
            if (owner->session_ == session)
                f(owner);
        });
    }

    // An event for the owner: at most kMaxQueuedEvents wait for it, more are dropped.
    template <class F> void event(F&& f) {
        if (queued_ >= TClientSocket::kMaxQueuedEvents)
            return;
        ++queued_;
        tell([this, f = std::forward<F>(f)](TClientSocket* owner) {
            f(owner);
            owner->network_.post([this] { eventTaken(); });
        });
    }

    void endFile() {
        file_.reset();
        header_.clear();
        remaining_ = 0;
    }

    TClientSocket* owner_;
    Mailbox& window_;
    uint64_t session_;
    SessionPolicy policy_;
    int queued_ = 0;
    QTcpSocket* socket_ = nullptr;
    TlsSocket* tls_ = nullptr; // the session, once the connection is made
    bool established_ = false; // its peer's key has passed
    QString host_;
    quint16 port_ = 0;
    QByteArray header_;
    QByteArray name_;
    std::shared_ptr<QIODevice> file_;
    qint64 total_ = 0;
    qint64 remaining_ = 0;
    QByteArray buffer_;
    ProgressThrottle throttle_;
};

TClientSocket::TClientSocket(QObject* owner, NetworkThread& network, Mailbox& window)
    : QObject(owner), network_(network), window_(window) {}

TClientSocket::~TClientSocket() = default;

void TClientSocket::setHost(const QString& host) {
    VORLAX_ON_THREAD_OF(this);
    if (host == host_)
        return;
    Close();
    host_ = host;
}

void TClientSocket::setPort(int port) {
    VORLAX_ON_THREAD_OF(this);
    if (port == port_)
        return;
    Close();
    port_ = port;
}

void TClientSocket::setActive(bool active) {
    VORLAX_ON_THREAD_OF(this);
    if (active == active_)
        return;
    active ? Open() : Close();
}

void TClientSocket::Open() {
    VORLAX_ON_THREAD_OF(this);
    if (active_)
        return;
    if (host_.isEmpty())
        throw ProgramError(QStringLiteral("Keine Adresse angegeben"));
    active_ = true;
    connection_ = new UploadConnection(this, window_, ++session_, policy_);
    network_.adopt(connection_);
    network_.post([connection = connection_, host = host_, port = static_cast<quint16>(port_)] {
        connection->open(host, port);
    });
}

void TClientSocket::Close() {
    VORLAX_ON_THREAD_OF(this);
    active_ = false;
    connected_ = false;
    sending_ = false;
    ++session_;
    if (UploadConnection* old = std::exchange(connection_, nullptr))
        network_.post([old] {
            old->close(true);
            old->deleteLater();
        });
}

void TClientSocket::setSession(const SessionPolicy& policy) {
    VORLAX_ON_THREAD_OF(this);
    policy_ = policy;
}

bool TClientSocket::SendFile(const QByteArray& header, std::unique_ptr<QIODevice> file,
                             qint64 bodySize) {
    VORLAX_ON_THREAD_OF(this);
    if (!connection_ || sending_)
        return false;
    sending_ = true;
    network_.post([connection = connection_, header,
                   shared = std::shared_ptr<QIODevice>(std::move(file)),
                   bodySize] { connection->send(header, shared, bodySize); });
    return true;
}
