// Line-channel endpoints over real loopback sockets: framing, client and listener states, the
// worker cap, the send-disconnect-connect pattern and shutdown.
#include "common/GuiThread.h"
#include "common/ProgramError.h"
#include "net/HostLookup.h"
#include "net/TcpChannel.h"
#include "support/PeerInput.h"
#include "support/Wait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QThread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

constexpr int kWaitMs = 10000; // longest wait for something that must happen
constexpr int kQuietMs = 200;  // how long something that must not happen is watched for
constexpr auto kPollStep = std::chrono::milliseconds(1);
const QString kLoopback = QStringLiteral("127.0.0.1");

template <typename Pred> bool waitFor(Pred pred, int timeoutMs = kWaitMs) {
    return waitUntil(pred, timeoutMs);
}

// True when pred holds at every check during the whole period.
template <typename Pred> bool holdsFor(Pred pred, int periodMs = kQuietMs) {
    QDeadlineTimer deadline(periodMs);
    while (!deadline.hasExpired()) {
        if (!pred())
            return false;
        std::this_thread::sleep_for(kPollStep);
    }
    return pred();
}

// Records what each accepted connection delivered: a fixed number of ReceiveLine results.
struct LineSink {
    explicit LineSink(int calls) : callsPerConnection(calls) {}

    TTcpServer::AcceptHandler handler() {
        return [this](TTcpServer*, TCustomIpClient* client) {
            ++started;
            std::vector<QByteArray> lines;
            for (int i = 0; i < callsPerConnection; ++i)
                lines.push_back(client->ReceiveLine());
            std::lock_guard lock(mutex);
            received.push_back(lines);
            remotePorts.push_back(client->RemotePort());
            remoteHosts.push_back(client->RemoteHost());
            ++finished;
        };
    }
    std::vector<QByteArray> connection(size_t index) {
        std::lock_guard lock(mutex);
        return index < received.size() ? received[index] : std::vector<QByteArray>{};
    }

    const int callsPerConnection;
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    std::mutex mutex;
    std::vector<std::vector<QByteArray>> received;
    std::vector<QString> remotePorts;
    std::vector<QString> remoteHosts;
};

uint16_t openOnLoopback(TTcpServer& server, TTcpServer::AcceptHandler handler,
                        const QString& port = QStringLiteral("0")) {
    server.setLocalHost(kLoopback);
    server.setLocalPort(port);
    server.OnAccept = std::move(handler);
    server.Open();
    EXPECT_TRUE(server.Listening()) << server.lastError().toStdString();
    return server.boundPort();
}

void pointAt(TTcpClient& client, uint16_t port) {
    client.setRemoteHost(kLoopback);
    client.setRemotePort(QString::number(port));
}

int rawConnect(uint16_t port) {
    return loopbackSocket(port);
}

void rawWrite(int fd, const QByteArray& bytes) {
    EXPECT_EQ(::send(fd, bytes.constData(), bytes.size(), MSG_NOSIGNAL), bytes.size());
}

std::vector<QByteArray> lines(std::initializer_list<const char*> texts) {
    std::vector<QByteArray> result;
    for (const char* text : texts)
        result.emplace_back(text);
    return result;
}

} // namespace

TEST(TcpChannel, ResolvesHostsAndPorts) {
    EXPECT_EQ(resolvePort(QString()), 0);
    EXPECT_EQ(resolvePort(QStringLiteral("http")), 80);
    EXPECT_EQ(resolvePort(QStringLiteral("8080")), 8080);
    EXPECT_EQ(resolvePort(QStringLiteral("65537")), 1);
    EXPECT_EQ(resolvePort(QStringLiteral("-1")), 65535);
    try {
        resolvePort(QStringLiteral("abc"));
        ADD_FAILURE() << "no error for a port that is not a number";
    } catch (const ProgramError& error) {
        EXPECT_EQ(error.message(), QStringLiteral("'abc' ist kein gültiger Integerwert"));
    }
    EXPECT_EQ(resolveHost(QString()), std::optional<uint32_t>(0));
    EXPECT_EQ(resolveHost(kLoopback), std::optional<uint32_t>(0x7F000001));
    EXPECT_EQ(resolveHost(QStringLiteral("localhost")), std::optional<uint32_t>(0x7F000001));
    EXPECT_EQ(resolveHost(QStringLiteral("999.0.0.1")), std::nullopt);
    EXPECT_EQ(resolveHost(QStringLiteral("1.2.3")), std::nullopt);
}

TEST(TcpChannel, AHangingLookupEndsOnCancelAndFinishesAlone) {
    const int cancelFd = ::eventfd(0, EFD_CLOEXEC);
    EXPECT_EQ(runAbandonable([] { return std::optional<uint32_t>(7); }, cancelFd),
              std::optional<uint32_t>(7));

    // A lookup that hangs, as one does on a name server that never answers.
    std::promise<void> answer;
    auto answered = answer.get_future().share();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    ASSERT_EQ(::eventfd_write(cancelFd, 1), 0);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(runAbandonable(
                  [answered, finished] {
                      answered.wait();
                      *finished = true;
                      return std::optional<uint32_t>(7);
                  },
                  cancelFd),
              std::nullopt);
    EXPECT_LT(clock.elapsed(), kWaitMs);
    answer.set_value();
    EXPECT_TRUE(waitFor([&] { return finished->load(); }));
    ::close(cancelFd);
}

TEST(TcpChannel, AListenerOutOfDescriptorsWaitsInsteadOfSpinningAndAcceptsLater) {
    LineSink sink(1);
    TTcpServer server;
    const uint16_t port = openOnLoopback(server, sink.handler());
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Every descriptor this process may have is taken, so accept() fails with EMFILE.
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit before = limit;
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_cur, 512);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    std::vector<int> fillers;
    for (int fd = ::dup(client); fd >= 0; fd = ::dup(client))
        fillers.push_back(fd);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&target), sizeof target), 0);
    rusage start{};
    ::getrusage(RUSAGE_SELF, &start);
    const bool nothingTaken = holdsFor([&] { return sink.started == 0; });
    rusage end{};
    ::getrusage(RUSAGE_SELF, &end);
    for (int fd : fillers)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &before);
    EXPECT_TRUE(nothingTaken);
    const auto cpuMs = [](const rusage& use) {
        return (use.ru_utime.tv_sec + use.ru_stime.tv_sec) * 1000 +
               (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1000;
    };
    // Retrying at full speed would keep a core busy for the whole period.
    EXPECT_LT(cpuMs(end) - cpuMs(start), kQuietMs / 4);
    rawWrite(client, "late\r\n");
    EXPECT_TRUE(waitFor([&] { return sink.finished == 1; }));
    EXPECT_EQ(sink.connection(0), lines({"late"}));
    ::close(client);
}

TEST(TcpChannel, ReceiveLineFramesClientMessages) {
    LineSink sink(4);
    TTcpServer server;
    TTcpClient client;
    pointAt(client, openOnLoopback(server, sink.handler()));
    const QByteArray longLine(600, 'w');
    const std::vector<std::vector<QByteArray>> messages = {
        lines({"abc"}), lines({"one", "two", "three"}), lines({"first", "", "third"}), {longLine}};
    for (size_t i = 0; i < messages.size(); ++i) {
        ASSERT_TRUE(client.Connect());
        for (const QByteArray& line : messages[i])
            EXPECT_EQ(client.SendLine(line), line.size() + 2);
        client.Disconnect();
        ASSERT_TRUE(waitFor([&] { return sink.finished == int(i) + 1; }));
        std::vector<QByteArray> expected = messages[i];
        expected.resize(sink.callsPerConnection); // every call after the last line returns ""
        EXPECT_EQ(sink.connection(i), expected) << "message " << i;
    }
    EXPECT_EQ(client.SendLine(QStringLiteral("dropped")), -1); // not connected: nothing is sent
    EXPECT_EQ(sink.started.load(), int(messages.size()));
}

TEST(TcpChannel, ReceiveLineHandlesRawBytes) {
    LineSink sink(3);
    TTcpServer server;
    const uint16_t port = openOnLoopback(server, sink.handler());
    int fd = rawConnect(port);
    rawWrite(fd, "first\r");
    rawWrite(fd, "\nsecond\r\nno end");
    ::close(fd);
    ASSERT_TRUE(waitFor([&] { return sink.finished == 1; }));
    EXPECT_EQ(sink.connection(0), lines({"first", "second", "no end"}));
    EXPECT_EQ(sink.remoteHosts.at(0), kLoopback);

    fd = rawConnect(port);
    rawWrite(fd, QByteArray("a\0b\r\n", 5));
    ::close(fd);
    ASSERT_TRUE(waitFor([&] { return sink.finished == 2; }));
    EXPECT_EQ(sink.connection(1), std::vector<QByteArray>({QByteArray("a\0b", 3), "", ""}));
}

TEST(TcpChannel, ReceiveLineFindsCrLfSplitOverTwoReads) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    TCustomIpClient reader(pair[0], kLoopback, QStringLiteral("1"));
    std::vector<QByteArray> got;
    std::thread receiving([&] {
        for (int i = 0; i < 3; ++i)
            got.push_back(reader.ReceiveLine());
    });
    rawWrite(pair[1], "split\r");
    // Wait until the reader has taken the CR, so the LF surely comes in a read of its own.
    ASSERT_TRUE(waitFor([&] {
        int unread = -1;
        return ::ioctl(pair[0], FIONREAD, &unread) == 0 && unread == 0;
    }));
    rawWrite(pair[1], "\nnext\r\n");
    ::close(pair[1]);
    receiving.join();
    EXPECT_EQ(got, lines({"split", "next", ""}));
}

TEST(TcpChannel, OverlongLineIsCutOff) {
    LineSink sink(2);
    TTcpServer server;
    TTcpClient client;
    const uint16_t port = openOnLoopback(server, sink.handler());
    pointAt(client, port);
    // The longest line passes whole.
    const QByteArray longest(kMaxLineBytes, 'm');
    ASSERT_TRUE(client.Connect());
    client.SendLine(longest);
    client.Disconnect();
    ASSERT_TRUE(waitFor([&] { return sink.finished == 1; }));
    EXPECT_EQ(sink.connection(0), std::vector<QByteArray>({longest, ""}));

    // A peer that never sends CR LF is cut off instead of being buffered: its writes start to
    // fail long before it could fill memory.
    constexpr qint64 kGiveUpBytes = 64 * kMaxLineBytes;
    const int fd = rawConnect(port);
    const QByteArray chunk(64 * 1024, 's');
    qint64 sent = 0;
    while (sent < kGiveUpBytes) {
        pollfd writable{fd, POLLOUT, 0};
        if (::poll(&writable, 1, kWaitMs) <= 0)
            break;
        const ssize_t n = ::send(fd, chunk.constData(), chunk.size(), MSG_NOSIGNAL);
        if (n < 0)
            break;
        sent += n;
    }
    ::close(fd);
    EXPECT_LT(sent, kGiveUpBytes);
    ASSERT_TRUE(waitFor([&] { return sink.finished == 2; }));
    EXPECT_EQ(sink.connection(1), lines({"", ""}));
}

TEST(TcpChannel, ClientConnectStates) {
    LineSink sink(1);
    TTcpServer server;
    TTcpClient client;
    const uint16_t port = openOnLoopback(server, sink.handler());
    server.Close();
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(server.boundPort(), 0);

    pointAt(client, port);
    EXPECT_FALSE(client.Active());
    EXPECT_FALSE(client.Connect()); // nobody listens
    EXPECT_TRUE(client.Active());
    EXPECT_FALSE(client.Connected());
    server.setLocalPort(QString::number(port));
    server.Open();
    ASSERT_TRUE(server.Listening()) << server.lastError().toStdString();
    EXPECT_EQ(server.boundPort(), port);
    EXPECT_TRUE(client.Connect());
    EXPECT_TRUE(client.Connect());                            // no second connection
    EXPECT_TRUE(holdsFor([&] { return sink.started == 0; })); // idle: no handler is taken yet

    client.setRemoteHost(kLoopback); // same text keeps the connection
    EXPECT_TRUE(client.Connected());
    EXPECT_EQ(sink.finished.load(), 0);
    client.setRemoteHost(QStringLiteral("localhost")); // new text drops it
    EXPECT_FALSE(client.Connected());
    EXPECT_FALSE(client.Active());
    EXPECT_TRUE(waitFor([&] { return sink.finished == 1; }));
    client.setActive(true);
    EXPECT_TRUE(client.Connected());
    client.setActive(false);
    EXPECT_FALSE(client.Active());
    ASSERT_TRUE(waitFor([&] { return sink.finished == 2; }));
    EXPECT_EQ(sink.remoteHosts, std::vector<QString>({kLoopback, kLoopback}));

    // The local port text is never bound: connections come from ports the system picks.
    client.setLocalPort(sink.remotePorts.at(0));
    ASSERT_TRUE(client.Connect());
    client.Disconnect();
    ASSERT_TRUE(waitFor([&] { return sink.finished == 3; }));
    EXPECT_NE(sink.remotePorts.at(2), sink.remotePorts.at(0));
}

TEST(TcpChannel, EmptyHostNeverConnectsAndBadPortThrows) {
    LineSink sink(1);
    TTcpServer server;
    TTcpClient client;
    const uint16_t port = openOnLoopback(server, sink.handler());
    client.setRemotePort(QString::number(port)); // host left empty
    EXPECT_FALSE(client.Connect());
    EXPECT_TRUE(client.Active());
    EXPECT_FALSE(client.Connected());
    EXPECT_TRUE(holdsFor([&] { return sink.started == 0; }));

    const QString expected = QStringLiteral("'abc' ist kein gültiger Integerwert");
    client.Disconnect();
    pointAt(client, port);
    client.setRemotePort(QStringLiteral("abc"));
    for (const auto& attempt : std::vector<std::function<void()>>{
             [&] { client.Connect(); }, [&] { client.setActive(true); },
             [&] { server.setLocalPort(QStringLiteral("abc")), server.Open(); },
             [&] { server.setActive(true); }}) {
        try {
            attempt();
            ADD_FAILURE() << "no error for port text abc";
        } catch (const ProgramError& error) {
            EXPECT_EQ(error.message(), expected);
        }
    }
    EXPECT_FALSE(client.Connected());
    EXPECT_FALSE(server.Listening());
}

TEST(TcpChannel, PortInUseLeavesListenerNotListening) {
    LineSink sink(1);
    TTcpServer first;
    TTcpServer second;
    const uint16_t port = openOnLoopback(first, sink.handler());
    second.setLocalHost(kLoopback);
    second.setLocalPort(QString::number(port));
    second.OnAccept = sink.handler();
    second.Open();
    EXPECT_FALSE(second.Listening());
    EXPECT_TRUE(second.Active());
    EXPECT_FALSE(second.lastError().isEmpty());
    EXPECT_EQ(second.boundPort(), 0);

    // Once the port is free, opening again succeeds on the socket the listener kept.
    first.Close();
    second.Open();
    EXPECT_TRUE(second.Listening()) << second.lastError().toStdString();
    EXPECT_TRUE(second.lastError().isEmpty());
    TTcpClient client;
    pointAt(client, port);
    EXPECT_TRUE(client.Connect());
    client.SendLine(QByteArray("to second"));
    client.Disconnect();
    ASSERT_TRUE(waitFor([&] { return sink.finished == 1; }));
    EXPECT_EQ(sink.connection(0), lines({"to second"}));
}

TEST(TcpChannel, CloseKeepsAcceptedConnections) {
    LineSink sink(2);
    TTcpServer server;
    TTcpClient client;
    TTcpClient latecomer;
    const uint16_t port = openOnLoopback(server, sink.handler());
    pointAt(client, port);
    pointAt(latecomer, port);
    ASSERT_TRUE(client.Connect());
    server.Close();
    EXPECT_FALSE(server.Listening());
    EXPECT_FALSE(latecomer.Connect());
    // The idle connection accepted before Close still carries one more message.
    EXPECT_EQ(client.SendLine(QStringLiteral("after close")), 13);
    client.Disconnect();
    EXPECT_FALSE(client.Connect());
    ASSERT_TRUE(waitFor([&] { return sink.finished == 1; }));
    EXPECT_EQ(sink.connection(0), lines({"after close", ""}));
    EXPECT_TRUE(holdsFor([&] { return sink.started == 1; }));
}

TEST(TcpChannel, AtMostTenHandlersRunAtOnce) {
    constexpr int kConnections = kWorkersPerListener + 1;
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    int released = 0; // handlers allowed to finish
    std::atomic<int> running{0};
    std::atomic<int> mostRunning{0};
    std::atomic<int> started{0};
    TTcpServer server;
    const uint16_t port = openOnLoopback(server, [&](TTcpServer* sender, TCustomIpClient* client) {
        EXPECT_EQ(sender, &server);
        ++started;
        const int now = ++running;
        for (int seen = mostRunning; now > seen && !mostRunning.compare_exchange_weak(seen, now);)
            ;
        client->ReceiveLine();
        std::unique_lock lock(gateMutex);
        gateChanged.wait(lock, [&] { return released > 0; });
        --released;
        --running;
    });
    auto releaseAll = [&] {
        {
            std::lock_guard lock(gateMutex);
            released = kConnections;
        }
        gateChanged.notify_all();
    };
    // Lets every handler end even when a check below fails, so the listener can be destroyed.
    const std::unique_ptr<void, std::function<void(void*)>> releaseOnExit(
        &released, [&](void*) { releaseAll(); });
    std::vector<std::unique_ptr<TTcpClient>> clients;
    for (int i = 0; i < kConnections; ++i) {
        clients.push_back(std::make_unique<TTcpClient>());
        pointAt(*clients.back(), port);
        ASSERT_TRUE(clients.back()->Connect()) << "connection " << i;
        clients.back()->SendLine(QByteArray("waiting"));
    }
    ASSERT_TRUE(waitFor([&] { return started == kWorkersPerListener; }));
    EXPECT_TRUE(holdsFor([&] { return started == kWorkersPerListener; }));
    {
        std::lock_guard lock(gateMutex);
        released = 1;
    }
    gateChanged.notify_all();
    ASSERT_TRUE(waitFor([&] { return started == kConnections; }));
    releaseAll();
    for (auto& client : clients)
        client->Disconnect();
    ASSERT_TRUE(waitFor([&] { return running == 0; }));
    EXPECT_EQ(mostRunning.load(), kWorkersPerListener);
}

TEST(TcpChannel, SendDisconnectConnectPatternDeliversEveryMessage) {
    constexpr int kMessages = 25;
    constexpr int kLinesPerMessage = 3;
    LineSink sink(kLinesPerMessage + 1);
    TTcpServer server;
    TTcpClient client;
    pointAt(client, openOnLoopback(server, sink.handler()));
    ASSERT_TRUE(client.Connect());
    // Two threads share the client; each message's lines must arrive together on one connection.
    auto sender = [&](char tag) {
        for (int m = 0; m < kMessages; ++m) {
            QList<QByteArray> lines;
            for (int l = 0; l < kLinesPerMessage; ++l)
                lines << QStringLiteral("%1 %2 %3").arg(QChar(tag)).arg(m).arg(l).toLatin1();
            ASSERT_EQ(client.sendMessage(lines, TTcpClient::SendWhen::IfConnected),
                      kLinesPerMessage);
        }
    };
    std::thread other(sender, 'B');
    sender('A');
    other.join();
    constexpr int kTotal = 2 * kMessages;
    ASSERT_TRUE(waitFor([&] { return sink.finished == kTotal && sink.started == kTotal; }));
    EXPECT_TRUE(client.Connected()); // the idle connection for the next message
    std::set<QString> seen;
    for (size_t i = 0; i < kTotal; ++i) {
        const std::vector<QByteArray> got = sink.connection(i);
        const QString head = QString::fromLatin1(got.at(0)).chopped(2);
        for (int l = 0; l < kLinesPerMessage; ++l)
            EXPECT_EQ(got.at(l), QStringLiteral("%1 %2").arg(head).arg(l).toLatin1());
        EXPECT_EQ(got.at(kLinesPerMessage), QByteArray());
        seen.insert(head);
    }
    EXPECT_EQ(seen.size(), size_t(kTotal));
    client.Disconnect(); // the idle connection ends without a line
    ASSERT_TRUE(waitFor([&] { return sink.finished == kTotal + 1; }));
    EXPECT_EQ(sink.connection(kTotal), std::vector<QByteArray>(kLinesPerMessage + 1));
}

TEST(TcpChannel, FailingHandlerLeavesListenerAccepting) {
    std::atomic<int> calls{0};
    TTcpServer server;
    TTcpClient client;
    pointAt(client, openOnLoopback(server, [&](TTcpServer*, TCustomIpClient* connection) {
                const QByteArray line = connection->ReceiveLine();
                ++calls;
                if (line == "bad")
                    throw ProgramError(QStringLiteral("not a number"));
                if (line == "worse")
                    throw 42;
            }));
    for (const char* line : {"bad", "worse", "fine"}) {
        ASSERT_TRUE(client.Connect()) << line;
        client.SendLine(QByteArray(line));
        client.Disconnect();
    }
    EXPECT_TRUE(waitFor([&] { return calls == 3; }));
    EXPECT_TRUE(server.Listening());
}

TEST(TcpChannel, DestructionEndsHandlersWaitingForTheMainThread) {
    std::atomic<int> started{0};
    std::atomic<int> ranOnMain{0};
    std::atomic<int> hopsDropped{0};
    HopGate gate;
    auto server = std::make_unique<TTcpServer>();
    TTcpClient client;
    pointAt(client, openOnLoopback(*server, [&](TTcpServer*, TCustomIpClient* connection) {
                ++started;
                connection->ReceiveLine();
                // The handler's effects are applied on the main thread, which is the one destroying
                // the listener: its hop waits there until the gate closes.
                if (!gate.runOn(QCoreApplication::instance(), [&] { ++ranOnMain; }))
                    ++hopsDropped;
            }));
    ASSERT_TRUE(client.Connect());
    client.SendLine(QByteArray("begun"));
    ASSERT_TRUE(waitFor([&] { return started == 1; }));
    // Closing the gate first releases the waiting hop, so the listener is joined plainly.
    QElapsedTimer clock;
    clock.start();
    gate.close();
    server.reset();
    EXPECT_LT(clock.elapsed(), kWaitMs);
    EXPECT_EQ(ranOnMain.load(), 0);
    EXPECT_EQ(hopsDropped.load(), 1);
    EXPECT_FALSE(gate.runOn(QCoreApplication::instance(), [&] { ++ranOnMain; }));
}

TEST(TcpChannel, ConnectAndSendGiveUpAfterTheirTimeOuts) {
    // A listener nobody accepts from, with the smallest queue: once the queue is full, the system
    // drops further connection requests and an attempt can only end by its time-out. The queued
    // connections are never read, so a long enough send can only end by its time-out too.
    constexpr int kTimeoutMs = 300;
    constexpr int kMaxQueued = 16;
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    socklen_t length = sizeof local;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length);
    std::vector<std::unique_ptr<TTcpClient>> clients;
    qint64 failedAfterMs = -1;
    while (failedAfterMs < 0 && int(clients.size()) < kMaxQueued) {
        clients.push_back(std::make_unique<TTcpClient>());
        clients.back()->setConnectTimeoutMs(kTimeoutMs);
        pointAt(*clients.back(), ntohs(local.sin_port));
        QElapsedTimer clock;
        clock.start();
        if (!clients.back()->Connect())
            failedAfterMs = clock.elapsed();
    }
    ASSERT_GE(failedAfterMs, kTimeoutMs - 10);
    EXPECT_LT(failedAfterMs, kConnectTimeoutMs);
    EXPECT_TRUE(clients.back()->Active());
    EXPECT_FALSE(clients.back()->Connected());

    TTcpClient& queued = *clients.front();
    ASSERT_TRUE(queued.Connected());
    queued.setSendTimeoutMs(kTimeoutMs);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(queued.SendLine(QByteArray(64 * 1024 * 1024, 'x')), -1);
    EXPECT_GE(clock.elapsed(), kTimeoutMs - 10);
    EXPECT_LT(clock.elapsed(), kSendTimeoutMs);
    EXPECT_FALSE(queued.Connected()); // a line not taken whole ends the connection
    ::close(listener);
}
