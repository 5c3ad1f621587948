// The download client. Each Open makes one UploadConnection, whose QTcpSocket lives on the network
// thread; it reads the file being sent in pieces whenever the socket has drained below a small
// window, so the file is never held in memory and the window never waits for a slow peer. Close
// lets the connection go: what it still reports belongs to an earlier session and is not taken.

#include "trade/EventSockets.h"

#include "common/GuiThread.h"
#include "common/ProgramError.h"
#include "net/NetworkThread.h"
#include "trade/FileHeader.h"
#include "trade/TransferProgress.h"

#include <QIODevice>
#include <QTcpSocket>

#include <algorithm>
#include <utility>

namespace {
// One read from the file; and how much may wait in the socket's own buffer before more is read.
// Together they bound the sender's memory at about 1.25 MiB whatever the file's size.
constexpr qint64 kSendPieceBytes = 0x40000;
constexpr qint64 kSendWindowBytes = 1024 * 1024;

} // namespace

class UploadConnection : public QObject {
public:
    // Reports go to `owner` through `window`, marked with the owner's session.
    UploadConnection(TClientSocket* owner, Mailbox& window, uint64_t session)
        : owner_(owner), window_(window), session_(session) {}
    ~UploadConnection() override { close(); }

    void open(const QString& host, quint16 port) {
        close();
        host_ = host;
        port_ = port;
        socket_ = new QTcpSocket(this);
        connect(socket_, &QTcpSocket::connected, this, &UploadConnection::pump);
        connect(socket_, &QTcpSocket::bytesWritten, this, &UploadConnection::pump);
        connect(socket_, &QTcpSocket::errorOccurred, this, &UploadConnection::fail);
        connect(socket_, &QTcpSocket::stateChanged, this, [this](QAbstractSocket::SocketState s) {
            tell([connected = s == QAbstractSocket::ConnectedState](TClientSocket* owner) {
                owner->connected_ = connected;
            });
        });
        socket_->connectToHost(host_, port_);
    }

    void close() {
        endFile();
        if (!socket_)
            return;
        socket_->disconnect(this);
        socket_->abort();
        socket_->deleteLater();
        socket_ = nullptr;
    }

    void send(const QByteArray& header, std::shared_ptr<QIODevice> file, qint64 bodySize) {
        if (!socket_) {
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
        return socket_ && socket_->state() == QAbstractSocket::ConnectedState;
    }

    // Tops the socket's buffer up from the file; runs again whenever the socket has sent some.
    void pump() {
        if (!file_ || !connectedNow())
            return;
        if (!header_.isEmpty()) {
            socket_->write(header_);
            header_.clear();
        }
        while (remaining_ > 0 && socket_->bytesToWrite() < kSendWindowBytes) {
            buffer_.resize(std::min(remaining_, kSendPieceBytes));
            const qint64 got = file_->read(buffer_.data(), buffer_.size());
            if (got <= 0) {
                cutShrunkFile();
                return;
            }
            socket_->write(buffer_.constData(), got);
            remaining_ -= got;
        }
        const qint64 sent = total_ - remaining_ - std::min(socket_->bytesToWrite(), total_);
        const bool done = remaining_ == 0 && socket_->bytesToWrite() == 0;
        reportProgress(std::max<qint64>(0, sent), done);
        if (done)
            endFile();
    }

    // The file is shorter than its header said: the receiver must not take what it got for the
    // whole file, so this connection ends mid-file and the next file goes on a fresh one.
    void cutShrunkFile() {
        reportProgress(total_ - remaining_, true);
        endFile();
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
        const QString message =
            QStringLiteral("Socket-Fehler %1: %2").arg(int(code)).arg(socket_->errorString());
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
    int queued_ = 0;
    QTcpSocket* socket_ = nullptr;
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
    connection_ = new UploadConnection(this, window_, ++session_);
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
            old->close();
            old->deleteLater();
        });
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
