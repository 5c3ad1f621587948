// The client endpoint of a line-message channel: connects, sends whole messages, gives up on time.
#include "net/TcpClient.h"

#include "common/AnsiText.h"
#include "common/GuiThread.h"
#include "net/Deadline.h"
#include "net/NameResolution.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace {
constexpr char kLineEnd[] = "\r\n"; // CR LF
} // namespace

// Marks the operation under the client's lock with the ticket it was queued with.
class TTcpClient::TicketScope {
public:
    TicketScope(TTcpClient& client, Ticket ticket) : client_(client) { client_.opTicket_ = ticket; }
    ~TicketScope() { client_.opTicket_ = kNewest; }
    TicketScope(const TicketScope&) = delete;
    TicketScope& operator=(const TicketScope&) = delete;

private:
    TTcpClient& client_;
};

TTcpClient::TTcpClient()
    : cancelFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      hurryFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TTcpClient::~TTcpClient() {
    {
        std::lock_guard message(messageMutex_);
        disconnectLocked();
    }
    for (int fd : {cancelFd_, hurryFd_})
        if (fd >= 0)
            ::close(fd);
}

void TTcpClient::checkThread() const {
    assertThread(std::this_thread::get_id() != forbiddenThread_.load(),
                 "a waiting call of a line-channel client");
}

void TTcpClient::cancel() {
    cancelled_ = true;
    if (cancelFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(cancelFd_, &one, sizeof one);
    }
    std::lock_guard lock(fdMutex_);
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_RDWR);
}

TTcpClient::Ticket TTcpClient::ticket() const {
    std::lock_guard lock(hurryMutex_);
    return tickets_;
}

void TTcpClient::hurry(int graceMs) {
    {
        std::lock_guard lock(hurryMutex_);
        hurriedBelow_ = ++tickets_;
        hurryDeadline_ = Clock::now() + std::chrono::milliseconds(graceMs);
    }
    if (hurryFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(hurryFd_, &one, sizeof one);
    }
}

TTcpClient::Clock::time_point TTcpClient::cutDeadline(Clock::time_point own) const {
    std::lock_guard lock(hurryMutex_);
    return opTicket_ < hurriedBelow_ ? std::min(own, hurryDeadline_) : own;
}

bool TTcpClient::waitFor(int fd, short events, Clock::time_point own) {
    for (;;) {
        pollfd watched[3] = {{fd, events, 0}, {cancelFd_, POLLIN, 0}, {hurryFd_, POLLIN, 0}};
        const int ready = ::poll(watched, 3, msUntil(cutDeadline(own)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || watched[1].revents != 0)
            return false;
        if (watched[0].revents != 0)
            return true;
        // A hurry came: take its wake-up and wait on to the deadline that holds now.
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t taken = ::read(hurryFd_, &count, sizeof count);
    }
}

QString TTcpClient::RemoteHost() const {
    std::lock_guard lock(settingsMutex_);
    return remoteHost_;
}

void TTcpClient::setRemoteHost(const QString& host) {
    changeSetting(remoteHost_, host);
}

QString TTcpClient::RemotePort() const {
    std::lock_guard lock(settingsMutex_);
    return remotePort_;
}

void TTcpClient::setRemotePort(const QString& port) {
    changeSetting(remotePort_, port);
}

QString TTcpClient::LocalPort() const {
    std::lock_guard lock(settingsMutex_);
    return localPort_;
}

void TTcpClient::setLocalPort(const QString& port) {
    changeSetting(localPort_, port);
}

// A new text drops the connection first, so the next Connect goes where the new text points.
void TTcpClient::changeSetting(QString& setting, const QString& text) {
    checkThread();
    std::lock_guard message(messageMutex_);
    {
        std::lock_guard lock(settingsMutex_);
        if (setting == text)
            return;
    }
    disconnectLocked();
    std::lock_guard lock(settingsMutex_);
    setting = text;
}

bool TTcpClient::Connect() {
    checkThread();
    std::lock_guard message(messageMutex_);
    return connectLocked();
}

bool TTcpClient::connectLocked() {
    if (connected_)
        return true;
    if (cancelled_)
        return false;
    QString host;
    QString port;
    {
        std::lock_guard lock(settingsMutex_);
        host = remoteHost_;
        port = remotePort_;
    }
    const uint16_t portNumber = resolvePort(port);
    if (!ensureSocket())
        return false;
    // An empty host stands for 0.0.0.0, which no connection attempt may reach (Linux would take it
    // as this machine), so no attempt is made at all.
    const std::optional<uint32_t> address = resolveHost(host, cancelFd_);
    if (!address || *address == INADDR_ANY)
        return false;
    connected_ = attemptConnect(*address, portNumber);
    if (connected_) {
        remoteAddress_ = *address;
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) == 0)
            localAddress_ = ntohl(local.sin_addr.s_addr);
    }
    return connected_;
}

bool TTcpClient::attemptConnect(uint32_t address, uint16_t port) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(address);
    target.sin_port = htons(port);
    // The socket is non-blocking: the attempt is waited for here, together with a cancel, and
    // sends wait for the socket with their own time-out.
    bool ok = ::connect(fd_, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0;
    if (!ok && errno == EINPROGRESS &&
        waitFor(fd_, POLLOUT, Clock::now() + std::chrono::milliseconds(connectTimeoutMs_.load()))) {
        int error = 0;
        socklen_t length = sizeof error;
        ok = ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    if (ok && !cancelled_)
        return true;
    // A socket whose attempt failed or was given up may still be half way; take a fresh one, so
    // the client keeps holding a socket (Active) that the next attempt can use.
    const int failed = fd_;
    replaceSocket(-1);
    if (!ensureSocket())
        active_ = false;
    ::close(failed);
    return false;
}

void TTcpClient::Disconnect() {
    checkThread();
    std::lock_guard message(messageMutex_);
    disconnectLocked();
}

void TTcpClient::disconnectLocked() {
    if (connected_) {
        ::shutdown(fd_, SHUT_RDWR);
        connected_ = false;
    }
    releaseSocket();
}

bool TTcpClient::ensureSocket() {
    if (fd_ >= 0)
        return true;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    // Lines are small and each is a whole message part: send them without waiting to coalesce.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    replaceSocket(fd);
    active_ = true;
    return true;
}

void TTcpClient::releaseSocket() {
    const int fd = fd_;
    replaceSocket(-1);
    if (fd >= 0)
        ::close(fd);
    active_ = false;
}

// Changes the socket cancel() reaches; a socket made after a cancel is shut down at once.
void TTcpClient::replaceSocket(int fd) {
    std::lock_guard lock(fdMutex_);
    fd_ = fd;
    if (fd_ >= 0 && cancelled_)
        ::shutdown(fd_, SHUT_RDWR);
}

void TTcpClient::setActive(bool active) {
    checkThread();
    std::lock_guard message(messageMutex_);
    if (active == active_)
        return;
    if (active)
        connectLocked();
    else
        disconnectLocked();
}

int TTcpClient::SendLine(const QByteArray& line) {
    checkThread();
    std::lock_guard message(messageMutex_);
    return sendLineLocked(line);
}

int TTcpClient::SendLine(const QString& text) {
    return SendLine(ansi::encode(text));
}

int TTcpClient::sendLineLocked(const QByteArray& line) {
    if (!connected_)
        return -1;
    const QByteArray bytes = line + kLineEnd;
    if (sendAll(bytes))
        return static_cast<int>(bytes.size());
    // A line not taken whole leaves the connection unusable for the lines after it: the peer
    // would see its rest glued to whatever comes next.
    ::shutdown(fd_, SHUT_RDWR);
    connected_ = false;
    return -1;
}

int TTcpClient::sendMessage(const QList<QByteArray>& lines, SendWhen when, Ticket ticket) {
    checkThread();
    std::lock_guard message(messageMutex_);
    if (when == SendWhen::IfConnected && !connected_)
        return -1;
    const TicketScope scope(*this, ticket);
    int sent = 0;
    for (const QByteArray& line : lines)
        sent += connected_ && sendLineLocked(line) > 0 ? 1 : 0;
    disconnectLocked();
    connectLocked();
    return sent;
}

// Writes all bytes, waiting while the peer's window is full, for at most the send time-out; a
// cancel ends the wait at once.
bool TTcpClient::sendAll(const QByteArray& bytes) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(sendTimeoutMs_.load());
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        // MSG_NOSIGNAL: a peer that went away must not end the program with SIGPIPE.
        const ssize_t written =
            ::send(fd_, bytes.constData() + sent, static_cast<size_t>(bytes.size() - sent),
                   MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written >= 0) {
            sent += written;
            continue;
        }
        if (errno == EINTR)
            continue;
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || !waitFor(fd_, POLLOUT, deadline))
            return false;
    }
    return true;
}
