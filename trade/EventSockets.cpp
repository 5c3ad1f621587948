// The download listener. Its QTcpServer and every accepted connection live on the listener's own
// thread, where each connection's FileReceiver streams the files to disk; the GUI thread reaches
// them only through blocking calls that never wait on the network, and hears of files through
// queued events.

#include "trade/EventSockets.h"

#include "common/GuiThread.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <map>

namespace {
// What the socket may hold unread before the kernel's window makes the sender wait.
constexpr qint64 kSocketReadBufferBytes = 1024 * 1024;
} // namespace

class DownloadListener : public QObject {
public:
    explicit DownloadListener(TServerSocket* owner) : owner_(owner) {}
    ~DownloadListener() override { close(); }

    QString open(quint16 port, DownloadRules rules, std::function<bool(quint32)> acceptsFrom) {
        rules.report = [owner = owner_](const DownloadEvent& event) {
            // Queued, so the GUI thread handles it after this read has returned.
            postTo(owner, [owner, event] {
                if (owner->OnClientRead)
                    owner->OnClientRead(owner, event);
            });
        };
        rules_ = std::move(rules);
        acceptsFrom_ = std::move(acceptsFrom);
        if (!server_) {
            server_ = new QTcpServer(this);
            connect(server_, &QTcpServer::newConnection, this, &DownloadListener::accept);
        }
        if (server_->isListening() || server_->listen(QHostAddress::AnyIPv4, port))
            return {};
        return server_->errorString();
    }

    void close() {
        for (auto& [socket, receiver] : receivers_) {
            socket->disconnect(this);
            receiver.reset(); // removes a partial file
            socket->abort();
            socket->deleteLater();
        }
        receivers_.clear();
        if (server_) {
            server_->close();
            delete server_;
            server_ = nullptr;
        }
    }

    bool listening() const { return server_ && server_->isListening(); }
    quint16 port() const { return listening() ? server_->serverPort() : 0; }
    int count() const { return int(receivers_.size()); }

private:
    void accept() {
        while (QTcpSocket* socket = server_->nextPendingConnection()) {
            const quint32 peer = socket->peerAddress().toIPv4Address();
            if (int(receivers_.size()) >= TServerSocket::kMaxConnections ||
                (acceptsFrom_ && !acceptsFrom_(peer))) {
                socket->abort();
                socket->deleteLater();
                continue;
            }
            socket->setReadBufferSize(kSocketReadBufferBytes);
            socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
            auto& receiver = receivers_[socket];
            receiver = std::make_unique<FileReceiver>(socket, rules_);
            connect(socket, &QTcpSocket::readyRead, this,
                    [&receiver] { receiver->readAvailable(); });
            // Queued: a receiver that cuts its own connection is never deleted under its feet.
            connect(
                socket, &QTcpSocket::disconnected, this, [this, socket] { finish(socket); },
                Qt::QueuedConnection);
        }
    }

    void finish(QTcpSocket* socket) {
        const auto it = receivers_.find(socket);
        if (it == receivers_.end())
            return;
        it->second->connectionClosed();
        socket->disconnect(this);
        receivers_.erase(it);
        socket->deleteLater();
    }

    TServerSocket* owner_;
    QTcpServer* server_ = nullptr;
    DownloadRules rules_;
    std::function<bool(quint32)> acceptsFrom_;
    std::map<QTcpSocket*, std::unique_ptr<FileReceiver>> receivers_;
};

TServerSocket::TServerSocket(QObject* owner) : QObject(owner) {
    thread_.setObjectName(QStringLiteral("download listener"));
    thread_.start();
    listener_ = new DownloadListener(this);
    listener_->moveToThread(&thread_);
}

TServerSocket::~TServerSocket() {
    Close();
    runOn(listener_, [this] { delete listener_; });
    thread_.quit();
    thread_.wait();
}

void TServerSocket::setPort(int port) {
    if (port == port_)
        return;
    Close();
    port_ = port;
}

void TServerSocket::setActive(bool active) {
    if (active == active_)
        return;
    active ? Open() : Close();
}

void TServerSocket::Open() {
    active_ = true;
    runOn(listener_, [this] {
        lastError_ = listener_->open(static_cast<quint16>(port_), rules, acceptsFrom);
    });
}

void TServerSocket::Close() {
    active_ = false;
    runOn(listener_, [this] { listener_->close(); });
}

bool TServerSocket::Listening() const {
    bool listening = false;
    runOn(listener_, [&] { listening = listener_->listening(); });
    return listening;
}

quint16 TServerSocket::boundPort() const {
    quint16 port = 0;
    runOn(listener_, [&] { port = listener_->port(); });
    return port;
}

int TServerSocket::connectionCount() const {
    int count = 0;
    runOn(listener_, [&] { count = listener_->count(); });
    return count;
}
