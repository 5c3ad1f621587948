// The listener endpoint: one acceptor thread and a pool of at most kWorkersPerListener workers.
//
// The acceptor first waits for a free worker and only then takes a pending connection, so while
// every worker is busy new connections stay in the system's backlog instead of being accepted
// early. A connection is handed to an idle worker (a new one while the pool is not full), which
// runs the accept handler, then shuts the connection down, releases it and goes idle. Handing over
// to waiting threads keeps the acceptor quick: a sender reconnects right after every message, and
// the backlog of kBacklog connections overflows if the acceptor lags behind. Close wakes the
// acceptor through a pipe; accepted connections are left running.
#include "net/TcpChannel.h"

#include <QCoreApplication>
#include <QThread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr auto kShutdownPollInterval = std::chrono::milliseconds(5); // event pumping while waiting
constexpr int kAcceptRetryMs = 50; // pause after accept() failed for lack of resources
constexpr char kStopByte = 'x';

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

} // namespace

TTcpServer::TTcpServer() = default;

TTcpServer::~TTcpServer() {
    Close();
    shutdownConnections();
    waitForWorkers();
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
    if (bindAndListen(port) && startAcceptor()) {
        lastError_.clear();
        listening_ = true;
    }
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
        lastError_ = errnoText(errno);
        return false;
    }
    // Non-blocking, so an accept() whose connection vanished after poll() reported it cannot stall
    // the acceptor (and with it Close).
    ::fcntl(listenFd_, F_SETFL, ::fcntl(listenFd_, F_GETFL) | O_NONBLOCK);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length) == 0)
        boundPort_ = ntohs(bound.sin_port);
    return true;
}

bool TTcpServer::startAcceptor() {
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) {
        lastError_ = errnoText(errno);
        return false;
    }
    {
        std::lock_guard lock(poolMutex_);
        stopping_ = false;
    }
    acceptor_ = std::thread(&TTcpServer::acceptLoop, this, listenFd_, stopPipe_[0], OnAccept);
    return true;
}

void TTcpServer::Close() {
    std::lock_guard lock(controlMutex_);
    stopAcceptor(); // also lets idle workers end
    listening_ = false;
    boundPort_ = 0;
    if (listenFd_ >= 0)
        ::close(listenFd_);
    listenFd_ = -1;
    active_ = false;
}

void TTcpServer::stopAcceptor() {
    {
        std::lock_guard lock(poolMutex_);
        stopping_ = true;
        for (Worker& worker : workers_)
            worker.wake.notify_one();
    }
    poolChanged_.notify_all();
    if (acceptor_.joinable()) {
        const char stop = kStopByte;
        [[maybe_unused]] const ssize_t written = ::write(stopPipe_[1], &stop, 1);
        acceptor_.join();
    }
    for (int& fd : stopPipe_) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

// Accepts only while a worker is free, so a connection that finds every worker busy stays in the
// system's backlog. A burst of pending connections is taken without polling in between.
void TTcpServer::acceptLoop(int listenFd, int stopFd, AcceptHandler handler) {
    while (waitForFreeWorker()) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int fd =
            ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (fd >= 0) {
            dispatch(fd, peerHostText(peer), QString::number(ntohs(peer.sin_port)), handler);
            continue;
        }
        pollfd watched[2] = {{listenFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int timeoutMs = isResourceShortage(errno) ? kAcceptRetryMs : -1;
        if (::poll(watched, 2, timeoutMs) < 0 && errno != EINTR)
            return;
        if (watched[1].revents != 0 || (watched[0].revents & (POLLERR | POLLNVAL)) != 0)
            return;
    }
}

// Blocks until fewer than kWorkersPerListener handlers run; false when the listener is closing.
bool TTcpServer::waitForFreeWorker() {
    std::unique_lock lock(poolMutex_);
    poolChanged_.wait(lock, [this] { return stopping_ || busyWorkers_ < kWorkersPerListener; });
    return !stopping_;
}

// Hands the connection to an idle worker, or to a new one while the pool is not full.
void TTcpServer::dispatch(int fd, QString host, QString port, const AcceptHandler& handler) {
    auto connection = std::make_unique<TCustomIpClient>(fd, std::move(host), std::move(port));
    std::lock_guard lock(poolMutex_);
    reapWorkers();
    // Registered here rather than on the worker, so a Close followed by shutdownConnections
    // reaches every connection accepted before it.
    connections_.insert(connection.get());
    connection->setAcceptIndex(acceptedCount_++);
    ++busyWorkers_;
    for (Worker& worker : workers_) {
        if (!worker.busy) {
            worker.busy = true;
            worker.connection = std::move(connection);
            worker.handler = handler;
            worker.wake.notify_one();
            return;
        }
    }
    Worker& worker = workers_.emplace_back();
    worker.busy = true;
    worker.connection = std::move(connection);
    worker.handler = handler;
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
        worker->wake.wait(lock, [&] { return worker->connection != nullptr || stopping_; });
        if (worker->connection == nullptr)
            break;
        std::unique_ptr<TCustomIpClient> connection = std::move(worker->connection);
        const AcceptHandler handler = std::move(worker->handler);
        lock.unlock();
        runHandler(std::move(connection), handler);
        lock.lock();
        worker->busy = false;
        --busyWorkers_;
        poolChanged_.notify_all();
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
    for (TCustomIpClient* connection : connections_)
        connection->shutdownBoth();
}

// Waits for every handler and worker to end. A handler may be waiting for the application's own
// thread (a blocking queued call), so on that thread events keep being processed while waiting.
void TTcpServer::waitForWorkers() {
    QCoreApplication* const app = QCoreApplication::instance();
    const bool onAppThread = app != nullptr && QThread::currentThread() == app->thread();
    std::unique_lock lock(poolMutex_);
    const auto allExited = [this] {
        for (const Worker& worker : workers_) {
            if (!worker.exited)
                return false;
        }
        return true;
    };
    while (!allExited()) {
        if (onAppThread) {
            lock.unlock();
            QCoreApplication::processEvents();
            lock.lock();
            poolChanged_.wait_for(lock, kShutdownPollInterval);
        } else {
            poolChanged_.wait(lock);
        }
    }
    reapWorkers();
}
