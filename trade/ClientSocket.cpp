// The download client. Its QTcpSocket lives on the client's own thread, which reads the file being
// sent in pieces whenever the socket has drained below a small window: the file is never held in
// memory, and the GUI thread never waits for a slow peer.

#include "trade/EventSockets.h"

#include "common/GuiThread.h"
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
} // namespace

class UploadConnection : public QObject {
public:
    explicit UploadConnection(TClientSocket* owner) : owner_(owner) {}
    ~UploadConnection() override { close(); }

    void open(const QString& host, quint16 port, quint64 generation) {
        close();
        host_ = host;
        port_ = port;
        generation_ = generation;
        socket_ = new QTcpSocket(this);
        connect(socket_, &QTcpSocket::connected, this, &UploadConnection::pump);
        connect(socket_, &QTcpSocket::bytesWritten, this, &UploadConnection::pump);
        connect(socket_, &QTcpSocket::errorOccurred, this, &UploadConnection::failed);
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

    bool connected() const {
        return socket_ && socket_->state() == QAbstractSocket::ConnectedState;
    }
    bool sending() const { return file_ != nullptr; }

    bool send(const QByteArray& header, std::unique_ptr<QIODevice> file, qint64 bodySize) {
        if (sending() || !socket_)
            return false;
        header_ = header;
        const std::optional<FileHeader> decoded = decodeFileHeader(header);
        name_ = decoded ? decoded->name : QByteArray();
        file_ = std::move(file);
        total_ = bodySize;
        remaining_ = bodySize;
        throttle_.restart();
        pump();
        return true;
    }

private:
    // Tops the socket's buffer up from the file; runs again whenever the socket has sent some.
    void pump() {
        if (!sending() || !connected())
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
        open(host_, port_, generation_);
    }

    void failed(QAbstractSocket::SocketError code) {
        if (!socket_)
            return;
        const QString message =
            QStringLiteral("Socket-Fehler %1: %2").arg(int(code)).arg(socket_->errorString());
        close();
        if (code == QAbstractSocket::RemoteHostClosedError)
            return; // the peer went offline or quit: the channel just ends
        postTo(owner_, [owner = owner_, generation = generation_, code, message] {
            if (generation == owner->generation_ && owner->OnError)
                owner->OnError(int(code), message);
        });
    }

    void reportProgress(qint64 sent, bool ended) {
        if (!throttle_.due(ended))
            return;
        postTo(owner_, [owner = owner_, name = name_, sent, total = total_, ended] {
            if (owner->OnProgress)
                owner->OnProgress(name, sent, total, ended);
        });
    }

    void endFile() {
        file_.reset();
        header_.clear();
        remaining_ = 0;
    }

    TClientSocket* owner_;
    QTcpSocket* socket_ = nullptr;
    QString host_;
    quint16 port_ = 0;
    quint64 generation_ = 0;
    QByteArray header_;
    QByteArray name_;
    std::unique_ptr<QIODevice> file_;
    qint64 total_ = 0;
    qint64 remaining_ = 0;
    QByteArray buffer_;
    ProgressThrottle throttle_;
};

TClientSocket::TClientSocket(QObject* owner) : QObject(owner) {
    thread_.setObjectName(QStringLiteral("download client"));
    thread_.start();
    connection_ = new UploadConnection(this);
    connection_->moveToThread(&thread_);
}

TClientSocket::~TClientSocket() {
    Close();
    runOn(connection_, [this] { delete connection_; });
    thread_.quit();
    thread_.wait();
}

void TClientSocket::setHost(const QString& host) {
    if (host == host_)
        return;
    Close();
    host_ = host;
}

void TClientSocket::setPort(int port) {
    if (port == port_)
        return;
    Close();
    port_ = port;
}

void TClientSocket::setActive(bool active) {
    if (active == active_)
        return;
    active ? Open() : Close();
}

void TClientSocket::Open() {
    if (active_)
        return;
    if (host_.isEmpty())
        throw ProgramError(QStringLiteral("Keine Adresse angegeben"));
    active_ = true;
    const quint64 generation = ++generation_;
    runOn(connection_, [this, generation] {
        connection_->open(host_, static_cast<quint16>(port_), generation);
    });
}

void TClientSocket::Close() {
    active_ = false;
    ++generation_;
    runOn(connection_, [this] { connection_->close(); });
}

bool TClientSocket::Connected() const {
    bool connected = false;
    runOn(connection_, [&] { connected = connection_->connected(); });
    return connected;
}

bool TClientSocket::SendFile(const QByteArray& header, std::unique_ptr<QIODevice> file,
                             qint64 bodySize) {
    bool taken = false;
    runOn(connection_, [&] { taken = connection_->send(header, std::move(file), bodySize); });
    return taken;
}

bool TClientSocket::Sending() const {
    bool sending = false;
    runOn(connection_, [&] { sending = connection_->sending(); });
    return sending;
}
