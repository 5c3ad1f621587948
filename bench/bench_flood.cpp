// What floods cost a copy that is online and not connected, so that anyone may send to it.
//
// 1. A stranger (a socket bound to 127.0.0.2) sends B bytes of zeros to the download port: every
//    152 of them a header that fails the marker. It connects again whenever the copy cuts it,
//    until the system has taken all B bytes. Printed: the longest time the GUI thread went without
//    handling events while the flood lasted, against the same measure over an idle stretch of the
//    same length in this run (the baseline) and against the 50 ms limit; the growth of resident
//    memory against the B bytes sent; the chat log lines the flood added.
// 2. The stranger opens N connections to the chat listener, each sending one byte and holding it;
//    then N more spread over all four listeners. Printed: the descriptors the copy holds for them
//    (all descriptors of the process, less those it had before and the stranger's own N), against
//    N.
//
// Usage: bench_flood [B [N]]   (defaults 64 MiB and 1100)

#include "Resident.h"
#include "support/PeerStandIns.h"
#include "support/TwoCopies.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

constexpr qint64 kDefaultFloodBytes = qint64(64) << 20;
constexpr int kDefaultConnections = 1100;
constexpr qint64 kChunkBytes = 64 * 1024;
constexpr int kHeartbeatMs = 1;
constexpr int kSettleMs = 1500; // for the last summaries to arrive, and the listeners to settle
constexpr int kStallLimitMs = 50;
constexpr int kLongDeadlineMs = 600000; // no held message is cut while the bench runs
constexpr rlim_t kWantedDescriptors = 8192;
constexpr double kMiB = 1024.0 * 1024.0;

int openDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot).size());
}

// Runs the event loop until done() holds (checked every beat) and then for settleMs more;
// returns the longest gap between two beats of a 1 ms timer, in ms.
template <class Done> double longestStallMs(Done done, int settleMs = 0) {
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.nsecsElapsed();
    qint64 longest = 0;
    qint64 doneAt = -1;
    QTimer beat;
    beat.setTimerType(Qt::PreciseTimer);
    QObject::connect(&beat, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longest = std::max(longest, now - last);
        last = now;
        if (doneAt < 0 && done())
            doneAt = clock.elapsed();
        if (doneAt >= 0 && clock.elapsed() - doneAt >= settleMs)
            loop.quit();
    });
    beat.start(kHeartbeatMs);
    loop.exec();
    return double(longest) / 1e6;
}

struct Flood {
    std::atomic<qint64> sent{0};
    std::atomic<int> connections{0};
    std::atomic<bool> done{false};
    std::thread thread;
    Flood(quint16 port, qint64 bytes) {
        thread = std::thread([this, port, bytes] {
            const QByteArray zeros(kChunkBytes, '\0');
            while (sent < bytes) {
                const int fd = strangerSocket(port);
                if (fd < 0)
                    break;
                ++connections;
                while (sent < bytes) {
                    const ssize_t n =
                        ::send(fd, zeros.constData(),
                               size_t(std::min<qint64>(kChunkBytes, bytes - sent)), MSG_NOSIGNAL);
                    if (n <= 0)
                        break;
                    sent += n;
                }
                ::close(fd);
            }
            done = true;
        });
    }
    ~Flood() { thread.join(); }
};

// Opens `connections` connections from the stranger, in turn to each of the ports, each sending
// one byte; once they are all open and the copy has settled, counts the descriptors the copy holds
// for them, then closes them and lets the copy settle again. Returns {opened, descriptors}.
std::pair<int, int> heldDescriptors(const std::vector<quint16>& ports, int connections) {
    const int before = openDescriptors();
    std::vector<int> held;
    std::atomic<bool> opened{false};
    std::thread opener([&] {
        for (int i = 0; i < connections; ++i) {
            const int fd = strangerSocket(ports[size_t(i) % ports.size()]);
            if (fd < 0)
                continue;
            ::send(fd, "x", 1, MSG_NOSIGNAL);
            held.push_back(fd);
        }
        opened = true;
    });
    longestStallMs([&] { return opened.load(); }, kSettleMs);
    opener.join();
    const int copyDescriptors = openDescriptors() - before - int(held.size());
    for (int fd : held)
        ::close(fd);
    longestStallMs([] { return true; }, kSettleMs);
    return {int(held.size()), copyDescriptors};
}

void raiseDescriptorLimit() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min(limit.rlim_max, std::max(limit.rlim_cur, kWantedDescriptors));
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

} // namespace

int main(int argc, char** argv) {
    if (qgetenv("QT_QPA_PLATFORM").isEmpty())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const qint64 floodBytes =
        argc > 1 ? std::max<qint64>(1, std::atoll(argv[1])) : kDefaultFloodBytes;
    const int connections = argc > 2 ? std::max(1, std::atoi(argv[2])) : kDefaultConnections;
    raiseDescriptorLimit();

    auto copy = onlineCopy();
    TForm1& form = *copy->form;
    if (!form.DownloadServer->Listening() || !form.ChatServer->Listening()) {
        std::fprintf(stderr, "the copy did not go online\n");
        return EXIT_FAILURE;
    }

    // 1. The refused-header flood, then an idle stretch of the same length.
    const auto linesFromStranger = [&] {
        return int(form.Memo1->toPlainText().split('\n').filter(kStrangerAddress).size());
    };
    const qint64 memoryBefore = residentBytes();
    QElapsedTimer floodClock;
    floodClock.start();
    double floodStall = 0;
    int floodConnections = 0;
    {
        Flood flood(form.DownloadServer->boundPort(), floodBytes);
        floodStall = longestStallMs([&] { return flood.done.load(); }, kSettleMs);
        floodConnections = flood.connections;
    }
    const qint64 floodMs = floodClock.elapsed();
    const qint64 memoryGrowth = residentBytes() - memoryBefore;
    const int linesAdded = linesFromStranger();
    QElapsedTimer idleClock;
    idleClock.start();
    const double idleStall = longestStallMs([&] { return idleClock.elapsed() >= floodMs; });

    std::printf("flood: %.1f MiB of zeros to the download port in %lld ms, on %d connections "
                "(the copy cut each after at most %d refused headers)\n",
                floodBytes / kMiB, floodMs, floodConnections, kMaxDroppedInARow + 1);
    std::printf("longest GUI stall under the flood: %.1f ms; idle baseline: %.1f ms; ratio: %.2f; "
                "against the %d ms limit: %.2f\n",
                floodStall, idleStall, floodStall / std::max(idleStall, 0.001), kStallLimitMs,
                floodStall / kStallLimitMs);
    std::printf("resident memory growth: %.1f MiB; ratio to the bytes sent: %.4f\n",
                memoryGrowth / kMiB, double(memoryGrowth) / double(floodBytes));
    std::printf("chat log lines about the stranger: %d; events dropped at the bound: %llu\n",
                linesAdded, static_cast<unsigned long long>(form.DownloadServer->droppedEvents()));
    std::fflush(stdout);

    // 2. Held connections, each with one byte of a message that never ends: all to one listener,
    // then spread over all four.
    for (TTcpServer* server :
         {form.ChatServer.get(), form.TradeServer.get(), form.Plot_Server.get()})
        server->setMessageDeadlineMs(kLongDeadlineMs);
    const quint16 chat = form.ChatServer->boundPort();
    const std::vector<quint16> all = {chat, form.TradeServer->boundPort(),
                                      form.Plot_Server->boundPort(),
                                      form.DownloadServer->boundPort()};
    for (const auto& [ports, what] : {std::pair{std::vector<quint16>{chat}, "the chat listener"},
                                      std::pair{all, "the four listeners in turn"}}) {
        QElapsedTimer clock;
        clock.start();
        const auto [opened, copyDescriptors] = heldDescriptors(ports, connections);
        std::printf("held connections: %d opened to %s in %lld ms; descriptors the copy holds for "
                    "them: %d; ratio to the connections: %.3f\n",
                    opened, what, clock.elapsed(), copyDescriptors,
                    double(copyDescriptors) / double(std::max(opened, 1)));
        std::fflush(stdout);
    }
    return EXIT_SUCCESS;
}
