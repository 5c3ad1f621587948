#include "net/FirstBytesWait.h"

#include "net/TlsSocket.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

namespace {
// How soon a lone first byte is looked at again (the rest of a ClientHello is on its way).
constexpr int kLookAgainMs = 10;
} // namespace

void SortingTcpServer::incomingConnection(qintptr fd) {
    if (!intercept || !intercept(fd))
        QTcpServer::incomingConnection(fd);
}

uint32_t peerIPv4(qintptr fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getpeername(int(fd), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET)
        return 0;
    return ntohl(address.sin_addr.s_addr);
}

FirstBytesWait::FirstBytesWait(qintptr fd, QObject* parent)
    : QObject(parent), fd_(fd), notifier_(new QSocketNotifier(fd, QSocketNotifier::Read, this)) {
    connect(notifier_, &QSocketNotifier::activated, this, [this] { look(); });
    retry_.setSingleShot(true);
    retry_.setInterval(kLookAgainMs);
    connect(&retry_, &QTimer::timeout, this, [this] { look(); });
    clock_.start();
}

FirstBytesWait::~FirstBytesWait() {
    stopWatching();
    if (fd_ >= 0)
        ::close(int(fd_));
}

qintptr FirstBytesWait::release() {
    stopWatching();
    return std::exchange(fd_, -1);
}

void FirstBytesWait::look() {
    if (!notifier_)
        return;
    char bytes[kClientHelloPrefixBytes];
    const ssize_t got = ::recv(int(fd_), bytes, sizeof bytes, MSG_PEEK | MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        notifier_->setEnabled(true);
        return;
    }
    if (got <= 0) {
        stopWatching();
        if (gone)
            gone();
        return;
    }
    FirstBytes kind = classifyFirstBytes(QByteArrayView(bytes, got));
    if (kind == FirstBytes::NeedMore) {
        if (clock_.elapsed() < kHandshakeTimeoutMs) {
            // The notifier would fire again at once for the byte already there.
            notifier_->setEnabled(false);
            retry_.start();
            return;
        }
        kind = FirstBytes::Plain;
    }
    stopWatching();
    if (sorted)
        sorted(kind);
}

void FirstBytesWait::stopWatching() {
    retry_.stop();
    if (!notifier_)
        return;
    notifier_->setEnabled(false);
    notifier_->deleteLater();
    notifier_ = nullptr;
}
