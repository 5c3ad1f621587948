#include "trade/EventSockets.h"

#include "common/GuiThread.h"
#include "common/ProgramError.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace {
constexpr qsizetype kSendPieceBytes = 4096;
constexpr qint64 kMaxBytesQueuedInSocket = 64 * 1024;
} // namespace

TServerSocket::TServerSocket(QObject* owner) : QObject(owner) {}

TServerSocket::~TServerSocket() {
    Close();
}

void TServerSocket::setPort(int port) {
    if (port == port_)
        return;
    Close();
    port_ = port;
}

bool TServerSocket::Active() const {
    return server_ != nullptr;
}

void TServerSocket::setActive(bool active) {
    if (active == Active())
        return;
    active ? Open() : Close();
}

void TServerSocket::Open() {
    if (!server_) {
        server_ = new QTcpServer(this);
        connect(server_, &QTcpServer::newConnection, this, &TServerSocket::accept);
    }
    if (server_->isListening())
        return;
    if (server_->listen(QHostAddress::AnyIPv4, static_cast<quint16>(port_)))
        lastError_.clear();
    else
        lastError_ = server_->errorString();
}

void TServerSocket::Close() {
    for (QTcpSocket* socket : std::as_const(connections_)) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    connections_.clear();
    if (server_) {
        server_->close();
        server_->deleteLater();
        server_ = nullptr;
    }
}

bool TServerSocket::Listening() const {
    return server_ && server_->isListening();
}

quint16 TServerSocket::boundPort() const {
    return Listening() ? server_->serverPort() : 0;
}

void TServerSocket::accept() {
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        connections_.append(socket);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            if (OnClientRead)
                OnClientRead(this, socket);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            connections_.removeOne(socket);
            socket->deleteLater();
        });
    }
}

TClientSocket::TClientSocket(QObject* owner) : QObject(owner) {}

TClientSocket::~TClientSocket() {
    Close();
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

bool TClientSocket::Active() const {
    return socket_ != nullptr;
}

void TClientSocket::setActive(bool active) {
    if (active == Active())
        return;
    active ? Open() : Close();
}

void TClientSocket::Open() {
    if (socket_)
        return;
    if (host_.isEmpty())
        throw ProgramError(QStringLiteral("Keine Adresse angegeben"));
    socket_ = new QTcpSocket(this);
    connect(socket_, &QTcpSocket::connected, this, &TClientSocket::sendPending);
    connect(socket_, &QTcpSocket::bytesWritten, this, &TClientSocket::sendPending);
    connect(socket_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError code) {
        if (!socket_)
            return;
        const QString message =
            QStringLiteral("Socket-Fehler %1: %2").arg(int(code)).arg(socket_->errorString());
        Close();
        if (OnError)
            OnError(message);
    });
    socket_->connectToHost(host_, static_cast<quint16>(port_));
}

void TClientSocket::Close() {
    pending_.clear();
    sentBytes_ = 0;
    sending_ = false;
    if (!socket_)
        return;
    QTcpSocket* socket = socket_;
    socket_ = nullptr;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

bool TClientSocket::Connected() const {
    return socket_ && socket_->state() == QAbstractSocket::ConnectedState;
}

bool TClientSocket::Sending() const {
    return sending_;
}

bool TClientSocket::SendWholeStream(QByteArray stream) {
    bool taken = false;
    runOn(this, [&] {
        if (sending_)
            return;
        pending_ = std::move(stream);
        sentBytes_ = 0;
        sending_ = true;
        taken = true;
        sendPending();
    });
    return taken;
}

// Hands the socket pieces of the stream while it keeps few bytes queued; the rest goes out at the
// next bytes-written notification, so the GUI thread never blocks on a slow peer.
void TClientSocket::sendPending() {
    if (!sending_ || !Connected())
        return;
    while (sentBytes_ < pending_.size() && socket_->bytesToWrite() < kMaxBytesQueuedInSocket) {
        const qsizetype piece = std::min(kSendPieceBytes, pending_.size() - sentBytes_);
        const qint64 written = socket_->write(pending_.constData() + sentBytes_, piece);
        if (written < 0) {
            Close();
            return;
        }
        sentBytes_ += written;
    }
    if (sentBytes_ >= pending_.size()) {
        pending_.clear();
        sentBytes_ = 0;
        sending_ = false;
    }
}
