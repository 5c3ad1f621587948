// The download client. Each Open makes one UploadConnection, whose QTcpSocket lives on the client's
// own thread; it reads the file being sent in pieces whenever the socket has drained below a small
// window, so the file is never held in memory and the GUI thread never waits for a slow peer.
// Close lets the connection go: the object that receives its signals on the GUI thread is deleted
// with it, so an event of a closed connection is never delivered.

#include "trade/EventSockets.h"

#include "common/GuiThread.h"
#include "common/HandedOver.h"
#include "common/ProgramError.h"
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

struct UploadFailure {
    int code;
    QString message;
};
struct UploadProgress {
    QByteArray name;
    qint64 sent;
    qint64 total;
    bool ended;
};
} // namespace

class UploadConnection : public QObject {
    Q_OBJECT
public:
    // Events go to `to`, the thread of the client socket.
    explicit UploadConnection(QThread* to) : to_(to) {}
    ~UploadConnection() override { close(); }

    // The client's thread from here on, except where said.
    void open(const QString& host, quint16 port) {
        close();
        host_ = host;
        port_ = port;
        socket_ = new QTcpSocket(this);
        connect(socket_, &QTcpSocket::connected, this, &UploadConnection::pump);
        connect(socket_, &QTcpSocket::bytesWritten, this, &UploadConnection::pump);
        connect(socket_, &QTcpSocket::errorOccurred, this, &UploadConnection::fail);
        connect(socket_, &QTcpSocket::stateChanged, this, [this](QAbstractSocket::SocketState s) {
            connected_ = s == QAbstractSocket::ConnectedState;
        });
        socket_->connectToHost(host_, port_);
    }

    void close() {
        endFile();
        connected_ = false;
        if (!socket_)
            return;
        socket_->disconnect(this);
        socket_->abort();
        socket_->deleteLater();
        socket_ = nullptr;
    }

    // Any thread: claims the connection for one file, which send() then takes. False while a file
    // is going out, or once the connection was let go.
    bool claim() { return !abandoned_ && !sending_.exchange(true); }
    // Any thread: the connection is being let go; no file is claimed any more.
    void abandon() { abandoned_ = true; }

    void send(const QByteArray& header, std::shared_ptr<QIODevice> file, qint64 bodySize) {
        if (!socket_) {
            endFile();
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

    // Any thread.
    bool connected() const { return connected_; }
    bool sending() const { return sending_; }
    EventBound& events() { return events_; }

signals:
    void failed(const HandedOver<UploadFailure>& failure);
    void progressed(const HandedOver<UploadProgress>& progress);

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
        if (events_.admit())
            emit failed(HandedOver<UploadFailure>({int(code), message}, to_));
    }

    void reportProgress(qint64 sent, bool ended) {
        if (throttle_.due(ended) && events_.admit())
            emit progressed(HandedOver<UploadProgress>({name_, sent, total_, ended}, to_));
    }

    void endFile() {
        file_.reset();
        header_.clear();
        remaining_ = 0;
        sending_ = false;
    }

    QThread* to_;
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
    EventBound events_{TClientSocket::kMaxQueuedEvents};
    std::atomic<bool> connected_{false};
    std::atomic<bool> sending_{false};
    std::atomic<bool> abandoned_{false};
};

TClientSocket::TClientSocket(QObject* owner) : QObject(owner) {
    thread_.setObjectName(QStringLiteral("download client"));
    thread_.start();
}

TClientSocket::~TClientSocket() {
    delete session_;
    session_ = nullptr;
    UploadConnection* last = nullptr;
    {
        std::lock_guard lock(connectionMutex_);
        last = std::exchange(connection_, nullptr);
    }
    if (last)
        runOn(last, [last] { delete last; });
    thread_.quit();
    thread_.wait();
}

void TClientSocket::setHost(const QString& host) {
    assertOnThreadOf(this, "TClientSocket::setHost");
    if (host == host_)
        return;
    Close();
    host_ = host;
}

void TClientSocket::setPort(int port) {
    assertOnThreadOf(this, "TClientSocket::setPort");
    if (port == port_)
        return;
    Close();
    port_ = port;
}

void TClientSocket::setActive(bool active) {
    assertOnThreadOf(this, "TClientSocket::setActive");
    if (active == active_)
        return;
    active ? Open() : Close();
}

void TClientSocket::Open() {
    assertOnThreadOf(this, "TClientSocket::Open");
    if (active_)
        return;
    if (host_.isEmpty())
        throw ProgramError(QStringLiteral("Keine Adresse angegeben"));
    active_ = true;
    auto* connection = new UploadConnection(thread());
    session_ = new QObject(this);
    // Queued onto this thread, and dropped once session_ is gone.
    connect(connection, &UploadConnection::failed, session_,
            [this, connection](const HandedOver<UploadFailure>& handed) {
                connection->events().delivered();
                const UploadFailure& failure = handed.take();
                emit error(failure.code, failure.message);
            });
    connect(connection, &UploadConnection::progressed, session_,
            [this, connection](const HandedOver<UploadProgress>& handed) {
                connection->events().delivered();
                const UploadProgress& p = handed.take();
                emit progress(p.name, p.sent, p.total, p.ended);
            });
    connection->moveToThread(&thread_);
    {
        std::lock_guard lock(connectionMutex_);
        connection_ = connection;
    }
    postTo(connection, [connection, host = host_, port = static_cast<quint16>(port_)] {
        connection->open(host, port);
    });
}

void TClientSocket::Close() {
    assertOnThreadOf(this, "TClientSocket::Close");
    active_ = false;
    delete session_;
    session_ = nullptr;
    UploadConnection* old = nullptr;
    {
        std::lock_guard lock(connectionMutex_);
        old = std::exchange(connection_, nullptr);
    }
    if (!old)
        return;
    old->abandon();
    old->deleteLater(); // on its thread, after what was queued for it; its destructor closes it
}

bool TClientSocket::Connected() const {
    std::lock_guard lock(connectionMutex_);
    return connection_ && connection_->connected();
}

bool TClientSocket::Sending() const {
    std::lock_guard lock(connectionMutex_);
    return connection_ && connection_->sending();
}

bool TClientSocket::SendFile(const QByteArray& header, std::unique_ptr<QIODevice> file,
                             qint64 bodySize) {
    std::lock_guard lock(connectionMutex_);
    if (!connection_ || !connection_->claim())
        return false;
    // Queued while the lock keeps a Close from letting the connection go before it.
    postTo(connection_,
           [connection = connection_, header, shared = std::shared_ptr<QIODevice>(std::move(file)),
            bodySize] { connection->send(header, shared, bodySize); });
    return true;
}

#include "ClientSocket.moc"
