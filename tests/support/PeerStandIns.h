#pragma once
// Stand-ins for a peer in tests: a line listener that records every message it receives, and
// helpers for the files a test offers and receives.

#include "net/NetworkThread.h"
#include "net/TcpChannel.h"
#include "support/TwoCopies.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QRandomGenerator>
#include <QString>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <vector>

// Listens on 127.0.0.1 (a free port), on a network thread of its own, and keeps the lines of every
// message, one list per connection.
struct RecordingListener {
    std::mutex mutex;
    QList<QList<QByteArray>> messages;
    quint16 boundPort = 0;
    LineListener* listener = nullptr;
    NetworkThread network; // last, so that it ends before the members above go
    RecordingListener() {
        listener = new LineListener([this](LineMessage message) {
            {
                std::lock_guard lock(mutex);
                messages << message.lines;
            }
            listener->delivered();
        });
        network.adopt(listener);
        std::promise<quint16> bound;
        network.post([&] { bound.set_value(listener->open(INADDR_LOOPBACK, 0, {}).port); });
        boundPort = bound.get_future().get();
    }
    QString port() const { return QString::number(boundPort); }
    QList<QList<QByteArray>> received() {
        std::lock_guard lock(mutex);
        return messages;
    }
};

// The three line listeners of a peer that only records what it is sent.
struct StandInPeer {
    RecordingListener chat, trade, plot;
    // Points the remote chat, trade and plot ports of `remote` at these listeners.
    PortSet aimedAt(PortSet remote) const {
        remote.chat = chat.port();
        remote.trade = trade.port();
        remote.plot = plot.port();
        return remote;
    }
};

// A third host, neither this copy nor its peer: every 127.x.y.z is loopback, so a socket bound to
// this address before it connects comes from another address than the peer's 127.0.0.1.
inline constexpr char kStrangerAddress[] = "127.0.0.2";

// A plain blocking socket connected from kStrangerAddress to 127.0.0.1:port; -1 when the connect
// failed (errno says why).
inline int strangerSocket(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, kStrangerAddress, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// Sends one message as any host may: one connection (from `from` when given), its lines, end.
inline void sendLines(quint16 port, const QList<QByteArray>& lines, bool fromStranger = false) {
    int fd = -1;
    if (fromStranger) {
        fd = strangerSocket(port);
    } else {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ASSERT_GE(fd, 0) << "connect to port " << port << ": " << strerror(errno);
    QByteArray bytes;
    for (const QByteArray& line : lines)
        bytes += line + "\r\n";
    EXPECT_EQ(::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL), bytes.size());
    ::close(fd);
}

// Sends one message to a copy's trade listener as any host may.
inline void sendTradeMessage(TForm1& to, const QList<QByteArray>& lines) {
    sendLines(to.TradeServer->boundPort(), lines);
}

// The same in a test, where a failed connect fails the test.
inline int connectFromStranger(quint16 port) {
    const int fd = strangerSocket(port);
    if (fd < 0)
        ADD_FAILURE() << "connect from " << kStrangerAddress << " to port " << port << ": "
                      << strerror(errno);
    return fd;
}

// A listener on 127.0.0.1 that never accepts. With its queue filled, further handshakes hang
// unanswered; otherwise connections complete in its queue and their bytes are never read, so a
// sender soon finds the connection full (its receive buffer is made small).
struct UnacceptingListener {
    int fd = -1;
    std::vector<int> fillers;
    quint16 port = 0;
    explicit UnacceptingListener(bool fillQueue) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int smallBuffer = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &smallBuffer, sizeof smallBuffer);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd, fillQueue ? 0 : 8);
        socklen_t len = sizeof addr;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
        for (int i = 0; fillQueue && i < 3; ++i) {
            const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            fillers.push_back(c);
        }
    }
    ~UnacceptingListener() {
        for (int c : fillers)
            ::close(c);
        ::close(fd);
    }
};

// A copy that is online on free ports; `aim` may point its peer ports elsewhere first.
inline std::unique_ptr<Copy> onlineCopy(const std::function<void(PortSet& remote)>& aim = {}) {
    auto [local, remote] = freePortSets();
    if (aim)
        aim(remote);
    auto copy = makeCopy(local, remote, "Eve");
    goOnline(*copy->form);
    return copy;
}

inline void writeTestFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

// The file's bytes, or "<missing>" when there is no such file.
inline QByteArray readTestFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

inline QByteArray randomBytes(qsizetype size) {
    QByteArray bytes(size, '\0');
    for (char& c : bytes)
        c = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}
