// The listener endpoint: one dispatcher thread and a pool of at most kWorkersPerListener workers.
//
// The dispatcher accepts connections and keeps them while they are idle, watching all of them with
// one poll(); a connection is handed to a worker only once its first bytes (or its end) arrive. A
// peer opens its next connection ahead of time and leaves it idle until it has something to say,
// so idle connections must be kept, but they must not hold workers: connections that never send
// would otherwise fill the pool and make the listener deaf. A connection whose bytes came while
// every worker is busy waits in turn until a worker is free; its message's deadline counts from
// the moment its first bytes were seen. At most kMaxHeldConnections are held outside the handlers,
// idle and waiting together, so descriptors stay bounded however many connections come: when
// that many are held, a new connection pushes out the idle one that has waited longest (a
// stranger's silent connections must not lock the peer out), and is closed at accept when none
// of them is idle.
//
// A worker runs the accept handler, then shuts the connection down, releases it and goes idle.
// Close stops accepting (the dispatcher lets go of the listening socket before it is released) but
// keeps serving the connections already accepted, so a message on an idle connection still
// arrives. The dispatcher and the workers end with the listener.
//
// While an allowed peer is set, connections from any other address are closed at accept, and the
// sender is checked again when its message begins and before a handler runs it, so one accepted
// before the peer was set never speaks for it.
// Accepted connections use TCP keep-alive, so the idle ones of a peer that vanished are freed in
// the end. An accept that fails for lack of descriptors or memory pauses the accepting briefly
// instead of retrying at full speed.
#include "net/TcpServer.h"

#include "net/BindHelper.h"
#include "net/Deadline.h"
#include "net/NameResolution.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kAcceptPause = std::chrono::milliseconds(100); // after accept() lacked resources
constexpr int kAcceptBurst = 32;                              // most connections taken per wake-up
constexpr int kNoWakeFdPollMs = 50;     // poll period when no wake-up descriptor could be made
constexpr int kKeepAliveIdleS = 60;     // idle time before the first keep-alive probe
constexpr int kKeepAliveIntervalS = 10; // between probes
constexpr int kKeepAliveProbes = 6;     // unanswered probes before the connection is dropped

QString errnoText(int error) {
    char scratch[256];
    return QString::fromLocal8Bit(::strerror_r(error, scratch, sizeof scratch));
}

QString peerHostText(const sockaddr_in& peer) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    return QString::fromLatin1(text);
}

bool isResourceShortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

void useKeepAlive(int fd) {
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleS, sizeof kKeepAliveIdleS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalS, sizeof kKeepAliveIntervalS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof kKeepAliveProbes);
}

} // namespace

TTcpServer::TTcpServer() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TTcpServer::~TTcpServer() {
    Close();
    shutdownConnections();
    stopDispatcher();
    waitForWorkers();
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

QString TTcpServer::LocalHost() const {
    std::lock_guard lock(controlMutex_);
    return localHost_;
}

void TTcpServer::setLocalHost(const QString& host) {
    if (LocalHost() == host)
        return;
    Close();
    std::lock_guard lock(controlMutex_);
    localHost_ = host;
}

QString TTcpServer::LocalPort() const {
    std::lock_guard lock(controlMutex_);
    return localPort_;
}

void TTcpServer::setLocalPort(const QString& port) {
    if (LocalPort() == port)
        return;
    Close();
    std::lock_guard lock(controlMutex_);
    localPort_ = port;
}

QString TTcpServer::lastError() const {
    std::lock_guard lock(controlMutex_);
    return lastError_;
}

void TTcpServer::setActive(bool active) {
    if (active == active_)
        return;
    if (active)
        Open();
    else
        Close();
}

void TTcpServer::Open() {
    std::lock_guard lock(controlMutex_);
    if (listening_)
        return;
    const uint16_t port = resolvePort(localPort_);
    if (listenFd_ < 0) {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listenFd_ < 0) {
            lastError_ = errnoText(errno);
            return;
        }
        // Lets a listener bind again right after it closed; Linux still refuses a port that
        // another socket is listening on.
        const int on = 1;
        ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        active_ = true;
    }
    if (!bindAndListen(port))
        return;
    if (!dispatcher_.joinable()) {
        try {
            dispatcher_ = std::thread(&TTcpServer::dispatchLoop, this);
        } catch (const std::system_error& error) {
            lastError_ = QString::fromLocal8Bit(error.what());
            return;
        }
    }
    runHandler_ = OnAccept;
    watchListener(listenFd_, runHandler_);
    lastError_.clear();
    listening_ = true;
}

bool TTcpServer::bindAndListen(uint16_t port) {
    const std::optional<uint32_t> address = resolveHost(localHost_);
    if (!address) {
        lastError_ = QString::fromLocal8Bit(::gai_strerror(EAI_NONAME));
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(*address);
    local.sin_port = htons(port);
    if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(listenFd_, kBacklog) != 0) {
        const int error = errno;
        lastError_ = errnoText(error);
        if (error != EACCES || !mayAskBindHelper(port) || !takeHelperListener(*address, port))
            return false;
    }
    // Non-blocking, so an accept() whose connection vanished after poll() reported it cannot stall
    // the dispatcher.
    ::fcntl(listenFd_, F_SETFL, ::fcntl(listenFd_, F_GETFL) | O_NONBLOCK);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length) == 0)
        boundPort_ = ntohs(bound.sin_port);
    return true;
}

// A default port below 1024 that this program may not bind: the helper opens it and hands the
// listening socket over, which replaces the unbound one.
bool TTcpServer::takeHelperListener(uint32_t address, uint16_t port) {
    QString error;
    const int listener = listenThroughBindHelper(address, port, error);
    if (listener < 0) {
        lastError_ += QStringLiteral(" (%1)").arg(error);
        return false;
    }
    ::close(listenFd_);
    listenFd_ = listener;
    ::listen(listenFd_, kBacklog); // this program's backlog, whatever the helper chose
    return true;
}

// Tells the dispatcher which listening socket to accept on (-1: none). Letting go of one waits
// until the dispatcher has taken the change up, so the socket can be released safely after.
void TTcpServer::watchListener(int fd, AcceptHandler handler) {
    std::unique_lock lock(poolMutex_);
    watchedFd_ = fd;
    watchedHandler_ = std::move(handler);
    const uint64_t change = ++watchChanges_;
    wakeDispatcher();
    if (fd < 0)
        poolChanged_.wait(lock, [&] { return watchSeen_ >= change || ending_; });
}

void TTcpServer::Close() {
    std::lock_guard lock(controlMutex_);
    if (listening_ && dispatcher_.joinable()) {
        watchListener(-1, nullptr);
        // Connections the system completed before the Close are taken along: for their peers
        // they are open already, and their next message must still arrive.
        acceptPending(listenFd_, runHandler_, false);
        wakeDispatcher();
    }
    listening_ = false;
    boundPort_ = 0;
    if (listenFd_ >= 0)
        ::close(listenFd_);
    listenFd_ = -1;
    active_ = false;
}

void TTcpServer::wakeDispatcher() {
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
    }
}

void TTcpServer::dispatchLoop() {
    std::optional<Clock::time_point> pausedUntil; // accepting rests until then
    std::vector<pollfd> watched;
    std::vector<std::list<Waiting>::iterator> polled; // the waiting connection of watched[i + 2]
    std::vector<std::list<Waiting>::iterator> begun;  // those whose bytes (or end) came
    int listenFd = -1;
    AcceptHandler handler;
    for (;;) {
        {
            std::lock_guard lock(poolMutex_);
            if (ending_)
                return;
            if (watchSeen_ != watchChanges_) {
                watchSeen_ = watchChanges_;
                listenFd = watchedFd_;
                handler = watchedHandler_;
                poolChanged_.notify_all();
            }
            reapWorkers();
            while (!ready_.empty() && busyWorkers_ < kWorkersPerListener) {
                Waiting next = std::move(ready_.front());
                ready_.pop_front();
                startHandler(std::move(next));
            }
            if (pausedUntil && Clock::now() >= *pausedUntil)
                pausedUntil.reset();
            watched.assign({{wakeFd_, POLLIN, 0}, {pausedUntil ? -1 : listenFd, POLLIN, 0}});
            polled.clear();
            for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
                watched.push_back({it->fd, POLLIN, 0});
                polled.push_back(it);
            }
        }
        // A pause that has ended since the check above gives 0, never poll's endless -1: the
        // listening socket is not in the poll set meanwhile.
        const int timeoutMs =
            pausedUntil ? msUntil(*pausedUntil) : (wakeFd_ >= 0 ? -1 : kNoWakeFdPollMs);
        if (::poll(watched.data(), watched.size(), timeoutMs) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (watched[0].revents != 0) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t read = ::read(wakeFd_, &count, sizeof count);
        }
        begun.clear();
        for (size_t i = 0; i < polled.size(); ++i) {
            if (watched[i + 2].revents != 0)
                begun.push_back(polled[i]);
        }
        takeUpBegunMessages(begun);
        if (watched[1].fd >= 0 && watched[1].revents != 0) {
            {
                // A Close that came meanwhile is taken up first: nothing more is accepted then.
                std::lock_guard lock(poolMutex_);
                if (watchSeen_ != watchChanges_)
                    continue;
            }
            if (!acceptPending(listenFd, handler, true))
                pausedUntil = Clock::now() + kAcceptPause;
        }
    }
}

// Idle connections whose first bytes (or end) came: each now waits for a worker, unless its sender
// may no longer speak here. Called on the dispatcher, once its poll has returned.
void TTcpServer::takeUpBegunMessages(const std::vector<std::list<Waiting>::iterator>& begun) {
    std::lock_guard lock(poolMutex_);
    for (const auto& it : begun) {
        if (!admits(it->address) || it->connection->cutOff()) {
            waiting_.erase(it);
            continue;
        }
        it->connection->startDeadline();
        ready_.splice(ready_.end(), waiting_, it);
    }
}

// Whether one more connection may be held; when the bound is reached, room is made by closing the
// idle connection that has waited longest, if pushOut allows (only the dispatcher may, between its
// polls) and there is one. Called with poolMutex_ held.
bool TTcpServer::makeRoom(bool pushOut) {
    if (waiting_.size() + ready_.size() < static_cast<size_t>(kMaxHeldConnections))
        return true;
    if (!pushOut || waiting_.empty())
        return false;
    waiting_.pop_front();
    return true;
}

// Takes the connections waiting in the system's queue, up to a burst; each that the listener may
// not hold is closed at once. False when accept() failed for lack of descriptors or memory.
bool TTcpServer::acceptPending(int listenFd, const AcceptHandler& handler, bool pushOut) {
    for (int taken = 0; taken < kAcceptBurst; ++taken) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int fd =
            ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return !isResourceShortage(errno);
        }
        const uint32_t address = ntohl(peer.sin_addr.s_addr);
        std::unique_lock lock(poolMutex_);
        if (!admits(address) || !makeRoom(pushOut)) {
            lock.unlock();
            ::close(fd);
            continue;
        }
        useKeepAlive(fd);
        waiting_.push_back({std::make_unique<TCustomIpClient>(fd, peerHostText(peer),
                                                              QString::number(ntohs(peer.sin_port)),
                                                              messageDeadlineMs_.load()),
                            fd, address, handler});
    }
    return true;
}

bool TTcpServer::admits(uint32_t address) const {
    const std::atomic<uint32_t>* peer = allowedPeer_.load();
    const uint32_t allowed = peer != nullptr ? peer->load() : 0;
    return allowed == 0 || allowed == address;
}

// Hands the connection to an idle worker, or to a new one while the pool is not full; called with
// poolMutex_ held.
void TTcpServer::startHandler(Waiting waiting) {
    std::unique_ptr<TCustomIpClient>& connection = waiting.connection;
    // The peer may have been set, or the connection revoked, while it waited for a worker.
    if (!admits(waiting.address) || connection->cutOff())
        return;
    // Registered here rather than on the worker, so shutdownConnections reaches every connection
    // handed over before it.
    connections_.emplace(connection.get(), waiting.address);
    connection->setAcceptIndex(handedCount_++);
    ++busyWorkers_;
    for (Worker& worker : workers_) {
        if (!worker.busy) {
            worker.busy = true;
            worker.connection = std::move(connection);
            worker.handler = std::move(waiting.handler);
            worker.wake.notify_one();
            return;
        }
    }
    Worker& worker = workers_.emplace_back();
    worker.busy = true;
    worker.connection = std::move(connection);
    worker.handler = std::move(waiting.handler);
    try {
        worker.thread = std::thread(&TTcpServer::workerLoop, this, &worker);
    } catch (const std::system_error&) {
        // No thread to be had: the connection is dropped.
        connections_.erase(worker.connection.get());
        --busyWorkers_;
        workers_.pop_back();
    }
}

void TTcpServer::workerLoop(Worker* worker) {
    std::unique_lock lock(poolMutex_);
    for (;;) {
        worker->wake.wait(lock, [&] { return worker->connection != nullptr || ending_; });
        if (worker->connection == nullptr)
            break;
        std::unique_ptr<TCustomIpClient> connection = std::move(worker->connection);
        const AcceptHandler handler = std::move(worker->handler);
        lock.unlock();
        runHandler(std::move(connection), handler);
        lock.lock();
        worker->busy = false;
        --busyWorkers_;
        wakeDispatcher(); // a connection may be waiting for this worker
    }
    worker->exited = true;
    poolChanged_.notify_all();
}

void TTcpServer::runHandler(std::unique_ptr<TCustomIpClient> connection,
                            const AcceptHandler& handler) {
    try {
        if (handler)
            handler(this, connection.get());
    } catch (...) {
        // A handler that fails ends silently; the listener carries on with its workers.
    }
    {
        std::lock_guard lock(poolMutex_);
        connections_.erase(connection.get());
    }
    connection->shutdownBoth();
}

// Joins the threads of workers that ended; called with poolMutex_ held.
void TTcpServer::reapWorkers() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->exited) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void TTcpServer::shutdownConnections() {
    std::lock_guard lock(poolMutex_);
    for (const auto& [connection, address] : connections_)
        connection->shutdownBoth();
    for (std::list<Waiting>* queue : {&waiting_, &ready_}) {
        for (Waiting& waiting : *queue)
            waiting.connection->shutdownBoth();
    }
}

// Those waiting for a worker are closed here; idle ones are revoked, so their end wakes the
// dispatcher's poll, which then lets go of them (only it may, between polls).
void TTcpServer::closeConnectionsNotFrom(uint32_t peer) {
    std::lock_guard lock(poolMutex_);
    for (const auto& [connection, address] : connections_) {
        if (address != peer)
            connection->revoke();
    }
    ready_.remove_if([peer](const Waiting& waiting) { return waiting.address != peer; });
    for (Waiting& waiting : waiting_) {
        if (waiting.address != peer)
            waiting.connection->revoke();
    }
}

void TTcpServer::stopDispatcher() {
    {
        std::lock_guard lock(poolMutex_);
        ending_ = true;
        for (Worker& worker : workers_)
            worker.wake.notify_one();
        poolChanged_.notify_all();
    }
    wakeDispatcher();
    if (dispatcher_.joinable())
        dispatcher_.join();
}

// Waits for every handler and worker to end. No handler waits for the thread that destroys the
// listener without a way out (the window closes its hop gate before), so the wait is plain.
void TTcpServer::waitForWorkers() {
    std::unique_lock lock(poolMutex_);
    poolChanged_.wait(lock, [this] {
        return std::all_of(workers_.begin(), workers_.end(),
                           [](const Worker& worker) { return worker.exited; });
    });
    reapWorkers();
}
