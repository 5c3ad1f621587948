// The download listener. Its QTcpServer and every accepted connection live on the listener's own
// thread, where each connection's FileReceiver streams the files to disk. The GUI thread opens and
// closes it with calls that never wait on the network, reads its published state without waiting,
// and hears of files through queued signals.
//
// Reports of dropped files are coalesced here, per sender (DropReports), before they are queued:
// a flood of refused headers costs one line a second, not one per header.

#include "trade/EventSockets.h"

#include "common/GuiThread.h"
#include "common/HandedOver.h"
#include "trade/DropReports.h"
#include "net/BindHelper.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <map>

namespace {
// What the socket may hold unread before the kernel's window makes the sender wait.
constexpr qint64 kSocketReadBufferBytes = 1024 * 1024;

bool isCoalesced(DownloadEvent::Kind kind) {
    using Kind = DownloadEvent::Kind;
    return kind == Kind::Refused || kind == Kind::NotAsked || kind == Kind::CutOff;
}
} // namespace

class DownloadListener : public QObject {
    Q_OBJECT
public:
    // Events go to `to`, the thread of the listener's owner.
    DownloadListener(TServerSocket::State& state, EventBound& events, QThread* to)
        : state_(state), events_(events), to_(to), summaries_(this) {
        clock_.start();
        summaries_.setSingleShot(true);
        summaries_.setTimerType(Qt::CoarseTimer);
        connect(&summaries_, &QTimer::timeout, this, &DownloadListener::tellSummaries);
    }
    ~DownloadListener() override { close(); }

    QString open(quint16 port, DownloadRules rules) {
        rules.report = [this](const DownloadEvent& event) { report(event); };
        rules_ = std::move(rules);
        if (rules_.saveFolder)
            removeLeftoverPartialFiles(rules_.saveFolder());
        if (!server_) {
            server_ = new QTcpServer(this);
            connect(server_, &QTcpServer::newConnection, this, &DownloadListener::accept);
        }
        const bool listening = server_->isListening() ||
                               server_->listen(QHostAddress::AnyIPv4, port) ||
                               takeHelperListener(port);
        publish();
        return listening ? QString() : server_->errorString();
    }

    // A default port below 1024 that this program may not bind: the helper opens it.
    bool takeHelperListener(quint16 port) {
        if (server_->serverError() != QAbstractSocket::SocketAccessError || !mayAskBindHelper(port))
            return false;
        QString error;
        const int listener = listenThroughBindHelper(INADDR_ANY, port, error);
        if (listener < 0)
            return false;
        if (server_->setSocketDescriptor(listener))
            return true;
        ::close(listener);
        return false;
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
        publish();
    }

    void closeConnectionsNotFrom(quint32 peer) {
        for (const auto& [socket, receiver] : receivers_) {
            if (receiver->peer() != peer)
                receiver->shut(); // its end is taken up by finish()
        }
        publish();
    }

signals:
    void reported(const HandedOver<DownloadEvent>& event);

private:
    void accept() {
        while (QTcpSocket* socket = server_->nextPendingConnection()) {
            const quint32 peer = socket->peerAddress().toIPv4Address();
            // A slot held by a sender that may no longer send here is freed first: the close of
            // the side doors may still be on its way to this thread.
            if (openConnections() >= TServerSocket::kMaxConnections)
                shutNotAdmitted();
            if (openConnections() >= TServerSocket::kMaxConnections ||
                (rules_.acceptsFrom && !rules_.acceptsFrom(peer))) {
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
        publish();
    }

    // Connections not yet cut; a cut one stays in receivers_ until its end is taken up.
    int openConnections() const {
        return int(std::count_if(receivers_.begin(), receivers_.end(), [](const auto& entry) {
            return entry.second->phase() != FileReceiver::Phase::Closed;
        }));
    }

    void shutNotAdmitted() {
        for (const auto& [socket, receiver] : receivers_) {
            if (rules_.acceptsFrom && !rules_.acceptsFrom(receiver->peer()))
                receiver->shut();
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
        publish();
    }

    void publish() {
        const bool listening = server_ && server_->isListening();
        state_.listening = listening;
        state_.port = listening ? server_->serverPort() : 0;
        state_.connections = openConnections();
    }

    void report(const DownloadEvent& event) {
        if (isCoalesced(event.kind) && !drops_.note(event.peer, clock_.elapsed())) {
            scheduleSummaries();
            return;
        }
        queue(event);
    }

    void queue(const DownloadEvent& event) {
        if (events_.admit())
            emit reported(HandedOver<DownloadEvent>(event, to_));
    }

    void scheduleSummaries() {
        if (const std::optional<qint64> due = drops_.nextDueMs(); due && !summaries_.isActive())
            summaries_.start(int(std::max<qint64>(0, *due - clock_.elapsed())));
    }

    void tellSummaries() {
        for (const DropReports::Summary& summary : drops_.takeDue(clock_.elapsed())) {
            DownloadEvent event;
            event.kind = DownloadEvent::Kind::Summary;
            event.peer = summary.peer;
            event.count = summary.count;
            queue(event);
        }
        scheduleSummaries();
    }

    TServerSocket::State& state_;
    EventBound& events_;
    QThread* to_;
    QTcpServer* server_ = nullptr;
    DownloadRules rules_;
    std::map<QTcpSocket*, std::unique_ptr<FileReceiver>> receivers_;
    DropReports drops_;
    QElapsedTimer clock_;
    QTimer summaries_;
};

TServerSocket::TServerSocket(QObject* owner) : QObject(owner) {
    thread_.setObjectName(QStringLiteral("download listener"));
    thread_.start();
    listener_ = new DownloadListener(state_, events_, thread());
    listener_->moveToThread(&thread_);
    // Queued onto this object's thread; a call still queued when this object goes is dropped.
    connect(listener_, &DownloadListener::reported, this,
            [this](const HandedOver<DownloadEvent>& event) {
                events_.delivered();
                emit clientRead(this, event.take());
            });
}

TServerSocket::~TServerSocket() {
    Close();
    runOn(listener_, [this] { delete listener_; });
    thread_.quit();
    thread_.wait();
}

void TServerSocket::setPort(int port) {
    assertOnThreadOf(this, "TServerSocket::setPort");
    if (port == port_)
        return;
    Close();
    port_ = port;
}

void TServerSocket::setActive(bool active) {
    assertOnThreadOf(this, "TServerSocket::setActive");
    if (active == active_)
        return;
    active ? Open() : Close();
}

// Open and Close wait for the listener's thread, which never waits on the network, so that the
// state and lastError() read right after them are theirs.
void TServerSocket::Open() {
    assertOnThreadOf(this, "TServerSocket::Open");
    active_ = true;
    runOn(listener_, [this] { lastError_ = listener_->open(static_cast<quint16>(port_), rules); });
}

void TServerSocket::Close() {
    assertOnThreadOf(this, "TServerSocket::Close");
    active_ = false;
    runOn(listener_, [this] { listener_->close(); });
}

void TServerSocket::closeConnectionsNotFrom(quint32 peer) {
    assertOnThreadOf(this, "TServerSocket::closeConnectionsNotFrom");
    // Not waited for. A file header that the listener's thread reads meanwhile is checked against
    // the new peer anyway (acceptsFrom).
    postTo(listener_, [listener = listener_, peer] { listener->closeConnectionsNotFrom(peer); });
}

#include "EventSockets.moc"
