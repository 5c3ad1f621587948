#pragma once
// What a hostile peer's input does to the window: raw bytes sent to a listener as one message,
// and a heartbeat on the GUI thread that tells how long the window went without answering.

#include <QByteArray>
#include <QElapsedTimer>
#include <QTimer>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

// A plain blocking socket connected to 127.0.0.1:port, for bytes a well-behaved sender would never
// write; a failed connect fails the test.
inline int loopbackSocket(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target), 0);
    return fd;
}

// Sends bytes exactly as given (no line ends added) on a connection of their own to
// 127.0.0.1:port, then closes it: one message, as any host may send it.
inline void sendRawMessage(quint16 port, const QByteArray& bytes) {
    const int fd = loopbackSocket(port);
    for (qsizetype sent = 0; sent < bytes.size();) {
        const ssize_t n =
            ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += n;
    }
    ::close(fd);
}

// The longest gap between the ticks of a 1 ms timer on the GUI thread while the watch lives.
class GuiHeartbeat {
public:
    GuiHeartbeat() {
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout,
                         [this] { longestMs_ = std::max(longestMs_, clock_.restart()); });
        clock_.start();
        timer_.start();
    }
    qint64 longestGapMs() const { return std::max(longestMs_, clock_.elapsed()); }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 longestMs_ = 0;
};
