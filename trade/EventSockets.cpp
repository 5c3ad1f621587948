// The download listener. Its QTcpServer and every accepted connection live on the network thread,
// where each connection's FileReceiver streams the files to disk. The window opens and closes it
// with calls that never wait, sees the state it reports, and hears of files as values.
//
// With a session policy, each new connection is sorted by its first bytes before anything reads
// it: a TLS ClientHello becomes an encrypted session (trade/DownloadSessions.h), anything else
// takes the plain path unchanged, unless plain connections are refused. Without one, connections
// go straight to the plain path.
//
// Reports of dropped files are coalesced here, per sender (DropReports), before they are queued:
// a flood of refused headers costs one line a second, not one per header.

#include "trade/EventSockets.h"

#include "common/AnsiText.h"
#include "common/GuiThread.h"
#include "net/BindHelper.h"
#include "net/FirstBytesWait.h"
#include "net/NetworkThread.h"
#include "trade/DownloadSessions.h"
#include "trade/DropReports.h"

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
public:
    // Reports go to `owner` through `window`.
    DownloadListener(TServerSocket* owner, Mailbox& window)
        : owner_(owner), window_(window), summaries_(this) {
        clock_.start();
        summaries_.setSingleShot(true);
        summaries_.setTimerType(Qt::CoarseTimer);
        connect(&summaries_, &QTimer::timeout, this, &DownloadListener::tellSummaries);
        rules_.acceptsFrom = [this](quint32 peer) { return allowed_ == 0 || peer == allowed_; };
        rules_.targetPath = [this](const QByteArray& name, quint32 peer) -> DownloadTarget {
            if (peer == 0 || peer != allowed_)
                return {};
            const std::optional<qint64> maxBytes = asked_.take(name);
            if (!maxBytes)
                return {};
            return {saveFolder_ + ansi::decode(name), *maxBytes};
        };
        rules_.saveFolder = [this] { return saveFolder_; };
        rules_.stallMs = [this] { return stallMs_; };
        rules_.report = [this](const DownloadEvent& event) { report(event); };
        sessions_ = new DownloadSessions(rules_, this);
        sessions_->report = [this](const SecurityEvent& event) { tellSecurity(event); };
        sessions_->changed = [this] { publish(); };
    }
    ~DownloadListener() override { close(); }

    void setAllowedPeer(quint32 peer) { allowed_ = peer; }
    void setAskedFiles(const AskedFiles& asked) { asked_ = asked; }
    void setSaveFolder(const QString& folder) { saveFolder_ = folder; }
    void setStallMs(int ms) { stallMs_ = ms; }
    void setSessionPolicy(const SessionPolicy& policy) { sessions_->setPolicy(policy); }
    // The window has taken one event.
    void eventTaken() { --queued_; }

    QString open(quint16 port) {
        removeLeftoverPartialFiles(saveFolder_);
        if (!server_) {
            server_ = new SortingTcpServer(this);
            server_->intercept = [this](qintptr fd) { return sortFirst(fd); };
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
        closeWaiting([](quint32) { return true; });
        sessions_->closeWhere([](quint32) { return true; });
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
        const auto other = [peer](quint32 from) { return from != peer; };
        closeWaiting(other);
        sessions_->closeWhere(other);
        publish();
    }

private:
    void accept() {
        while (QTcpSocket* socket = server_->nextPendingConnection()) {
            if (!admits(socket->peerAddress().toIPv4Address())) {
                socket->abort();
                socket->deleteLater();
                continue;
            }
            receivePlain(socket);
        }
        publish();
    }

    // Whether a new connection from peer may stay.
    bool admits(quint32 peer) {
        // A slot held by a sender that may no longer send here is freed first: the close of the
        // side doors may still be on its way to this thread.
        if (openConnections() >= TServerSocket::kMaxConnections)
            shutNotAdmitted();
        return openConnections() < TServerSocket::kMaxConnections &&
               (!rules_.acceptsFrom || rules_.acceptsFrom(peer));
    }

    void receivePlain(QTcpSocket* socket) {
        socket->setReadBufferSize(kSocketReadBufferBytes);
        socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
        auto& receiver = receivers_[socket];
        receiver = std::make_unique<FileReceiver>(socket, rules_);
        connect(socket, &QTcpSocket::readyRead, this, [&receiver] { receiver->readAvailable(); });
        // Queued: a receiver that cuts its own connection is never deleted under its feet.
        connect(
            socket, &QTcpSocket::disconnected, this, [this, socket] { finish(socket); },
            Qt::QueuedConnection);
    }

    // A new connection while a session policy is set: it waits until its first bytes tell what
    // it is. Without a policy the server's own sockets take it, straight to the plain path.
    bool sortFirst(qintptr fd) {
        const SessionPolicy& policy = sessions_->policy();
        if (!policy.context && !policy.refusePlain)
            return false;
        const quint32 peer = peerIPv4(fd);
        if (!admits(peer)) {
            ::close(int(fd));
            return true;
        }
        auto* wait = new FirstBytesWait(fd, this);
        waiting_[wait] = peer;
        wait->sorted = [this, wait, peer](FirstBytes kind) { sorted(wait, kind, peer); };
        wait->gone = [this, wait] { forget(wait); };
        publish();
        return true;
    }

    void sorted(FirstBytesWait* wait, FirstBytes kind, quint32 peer) {
        const qintptr fd = wait->release();
        forget(wait);
        if (kind == FirstBytes::ClientHello) {
            if (!sessions_->start(fd, peer))
                ::close(int(fd)); // no sessions here, or too many handshakes at once
        } else if (sessions_->policy().refusePlain) {
            ::close(int(fd));
            SecurityEvent event;
            event.kind = SecurityEvent::Kind::PlainRefused;
            event.address = peer;
            tellSecurity(event);
        } else {
            auto* socket = new QTcpSocket(this);
            if (socket->setSocketDescriptor(fd))
                receivePlain(socket);
            else
                delete socket;
        }
        publish();
    }

    void forget(FirstBytesWait* wait) {
        waiting_.erase(wait);
        wait->deleteLater();
        publish();
    }

    void closeWaiting(const std::function<bool(quint32 peer)>& doomed) {
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            if (doomed(it->second)) {
                delete it->first; // closes its descriptor
                it = waiting_.erase(it);
            } else {
                ++it;
            }
        }
    }

    // Connections not yet cut; a cut one stays in receivers_ until its end is taken up.
    int openConnections() const {
        return int(std::count_if(receivers_.begin(), receivers_.end(),
                                 [](const auto& entry) {
                                     return entry.second->phase() != FileReceiver::Phase::Closed;
                                 })) +
               int(waiting_.size()) + sessions_->count();
    }

    void shutNotAdmitted() {
        if (!rules_.acceptsFrom)
            return;
        const auto doomed = [this](quint32 peer) { return !rules_.acceptsFrom(peer); };
        for (const auto& [socket, receiver] : receivers_) {
            if (doomed(receiver->peer()))
                receiver->shut();
        }
        closeWaiting(doomed);
        sessions_->closeWhere(doomed);
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
        TServerSocket::State state;
        state.listening = server_ && server_->isListening();
        state.port = state.listening ? server_->serverPort() : 0;
        state.connections = openConnections();
        state.droppedEvents = dropped_;
        window_.post([owner = owner_, state] { owner->state_ = state; });
    }

    void report(const DownloadEvent& event) {
        if (isCoalesced(event.kind) && !drops_.note(event.peer, clock_.elapsed())) {
            scheduleSummaries();
            return;
        }
        queue(event);
    }

    void queue(const DownloadEvent& event) {
        queueEvent([event](TServerSocket* owner) { emit owner->clientRead(owner, event); });
    }

    void tellSecurity(const SecurityEvent& event) {
        queueEvent([event](TServerSocket* owner) { emit owner->securityEvent(event); });
    }

    // At most kMaxQueuedEvents wait for the window; more are dropped and counted.
    template <class F> void queueEvent(F&& emitIt) {
        if (queued_ >= TServerSocket::kMaxQueuedEvents) {
            ++dropped_;
            return;
        }
        ++queued_;
        window_.post([owner = owner_, emitIt = std::forward<F>(emitIt)] {
            emitIt(owner);
            owner->onNetwork([](DownloadListener* listener) { listener->eventTaken(); });
        });
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

    TServerSocket* owner_;
    Mailbox& window_;
    SortingTcpServer* server_ = nullptr;
    DownloadRules rules_;
    quint32 allowed_ = 0;
    AskedFiles asked_;
    QString saveFolder_;
    int stallMs_ = kDownloadStallMs;
    int queued_ = 0;
    quint64 dropped_ = 0;
    std::map<QTcpSocket*, std::unique_ptr<FileReceiver>> receivers_;
    std::map<FirstBytesWait*, quint32> waiting_; // connections whose first bytes are awaited
    DownloadSessions* sessions_;
    DropReports drops_;
    QElapsedTimer clock_;
    QTimer summaries_;
};

template <class F> void TServerSocket::onNetwork(F&& f) {
    network_.post([listener = listener_, f = std::forward<F>(f)] { f(listener); });
}

TServerSocket::TServerSocket(QObject* owner, NetworkThread& network, Mailbox& window)
    : QObject(owner), network_(network), window_(window),
      listener_(new DownloadListener(this, window)) {
    network_.adopt(listener_);
}

TServerSocket::~TServerSocket() = default;

void TServerSocket::setPort(int port) {
    VORLAX_ON_THREAD_OF(this);
    if (port == port_)
        return;
    Close();
    port_ = port;
}

void TServerSocket::setActive(bool active, std::function<void()> done) {
    VORLAX_ON_THREAD_OF(this);
    if (active == active_) {
        if (done)
            window_.post(std::move(done));
        return;
    }
    if (active) {
        Open(std::move(done));
        return;
    }
    Close();
    if (done)
        window_.post(std::move(done));
}

void TServerSocket::Open(std::function<void()> done) {
    VORLAX_ON_THREAD_OF(this);
    active_ = true;
    onNetwork([this, port = static_cast<quint16>(port_), done = std::move(done)](auto* listener) {
        const QString error = listener->open(port);
        window_.post([this, error, done] {
            lastError_ = error;
            if (done)
                done();
        });
    });
}

void TServerSocket::Close() {
    VORLAX_ON_THREAD_OF(this);
    active_ = false;
    onNetwork([](auto* listener) { listener->close(); });
}

void TServerSocket::closeConnectionsNotFrom(quint32 peer) {
    onNetwork([peer](auto* listener) { listener->closeConnectionsNotFrom(peer); });
}

void TServerSocket::setAllowedPeer(quint32 peer) {
    onNetwork([peer](auto* listener) { listener->setAllowedPeer(peer); });
}

void TServerSocket::setAskedFiles(const AskedFiles& asked) {
    onNetwork([asked](auto* listener) { listener->setAskedFiles(asked); });
}

void TServerSocket::setSaveFolder(const QString& folder) {
    onNetwork([folder](auto* listener) { listener->setSaveFolder(folder); });
}

void TServerSocket::setSessionPolicy(const SessionPolicy& policy) {
    onNetwork([policy](auto* listener) { listener->setSessionPolicy(policy); });
}

void TServerSocket::setStallMs(int ms) {
    onNetwork([ms](auto* listener) { listener->setStallMs(ms); });
}
