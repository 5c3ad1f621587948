// What a peer's input costs the window. One copy is online with its window shown; a sender thread
// plays the peer over loopback while a 1 ms heartbeat timer on the GUI thread records the longest
// gap between its ticks, the longest time the window could not answer. Each figure is set against
// the longest gap of the same heartbeat over an idle stretch measured first in this run, and
// against the 50 ms the window may be held at the most.
//
// Floods: N chat messages of (nearly) 1 MiB each, with the process's memory growth (resident
// size, after handing freed memory back to the system) and the time of the first repaint of the
// chat log afterwards; three requests of 99 998 names against a trade folder of 1 000 files; one
// listing of 33 333 files.
//
// Usage: bench_peer_input [N]   (N, the chat messages, defaults to 200)

#include "support/TwoCopies.h"

#include "net/TcpChannel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QTimer>
#include <QTreeWidget>

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <time.h>

namespace {

constexpr int kDefaultChatMessages = 200;
constexpr qsizetype kChatLineBytes = 1024 * 1024 - 64; // just within one chat message's bound
constexpr double kStallLimitMs = 50;
constexpr int kIdleMs = 1000;
constexpr int kSettleMs = 500; // heartbeat kept running after a flood has been applied
constexpr int kFloodTimeoutMs = 180000;
constexpr int kRequests = 3;
constexpr int kRequestNames = 99998;
constexpr int kTradeFolderFiles = 1000;
constexpr int kListedFiles = 33333;
const QByteArray kAskForTrade("\xA7\xA7\xA7-AskForTrade-\xA7\xA7\xA7");
const QByteArray kSendFileList("\xA7\xA7\xA7-SendFileList-\xA7\xA7\xA7");

qint64 threadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The longest gap between ticks of a 1 ms timer on the GUI thread, while it runs: in wall-clock
// time (what the user sees, including the time the system gave the CPU to other threads) and in
// the GUI thread's own CPU time (the work the window did in one go).
class StallWatch {
public:
    StallWatch() {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 now = clock_.nsecsElapsed();
            const qint64 cpu = threadCpuNs();
            longestNs_ = std::max(longestNs_, now - lastNs_);
            longestCpuNs_ = std::max(longestCpuNs_, cpu - lastCpuNs_);
            lastNs_ = now;
            lastCpuNs_ = cpu;
        });
        clock_.start();
        lastCpuNs_ = threadCpuNs();
        timer_.start();
    }
    double longestMs() const { return longestNs_ / 1e6; }
    double longestCpuMs() const { return longestCpuNs_ / 1e6; }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 lastNs_ = 0;
    qint64 longestNs_ = 0;
    qint64 lastCpuNs_ = 0;
    qint64 longestCpuNs_ = 0;
};

struct Stall {
    double wallMs = -1; // -1: not applied in time
    double cpuMs = -1;
};

double residentMiB() {
    malloc_trim(0);
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ')[0].toDouble() / 1024;
    return 0;
}

// One message on a connection of its own, as any host may send it.
void sendMessage(quint16 port, const QList<QByteArray>& lines) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        for (const QByteArray& line : lines) {
            const QByteArray bytes = line + "\r\n";
            if (::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) != bytes.size())
                break;
        }
    }
    ::close(fd);
}

// Runs send on a thread of its own while the heartbeat runs; done() tells when the window has
// applied it all. Returns the longest stall, or -1 when the window had not applied it in time.
template <class Send, class Done> Stall stallDuring(Send send, Done done) {
    StallWatch watch;
    std::thread sender(send);
    const bool finished = waitUntil(done, kFloodTimeoutMs);
    sender.join();
    if (!finished)
        return {};
    QElapsedTimer settle;
    settle.start();
    waitUntil([&] { return settle.elapsed() >= kSettleMs; }, kSettleMs * 2);
    return {watch.longestMs(), watch.longestCpuMs()};
}

void printStall(const char* what, Stall stall, Stall idle) {
    if (stall.wallMs < 0) {
        std::printf("%s: not applied within %d s\n", what, kFloodTimeoutMs / 1000);
        return;
    }
    std::printf("%s: longest stall %.1f ms = %.2f x idle, %.2f x the %.0f ms limit; GUI thread's "
                "own longest work %.1f ms = %.2f x idle, %.2f x the limit\n",
                what, stall.wallMs, stall.wallMs / idle.wallMs, stall.wallMs / kStallLimitMs,
                kStallLimitMs, stall.cpuMs, stall.cpuMs / idle.cpuMs, stall.cpuMs / kStallLimitMs);
}

} // namespace

int main(int argc, char** argv) {
    if (qgetenv("QT_QPA_PLATFORM").isEmpty())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int chatMessages = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultChatMessages;

    const auto [local, remote] = freePortSets();
    auto copy = makeCopy(local, remote, QStringLiteral("Vera"));
    TForm1& f = *copy->form;
    for (int i = 0; i < kTradeFolderFiles; ++i)
        QFile(copy->tradeFolder() + QStringLiteral("file%1.dat").arg(i)).open(QIODevice::WriteOnly);
    f.ListTradeFolder();
    goOnline(f);

    Stall idle;
    {
        StallWatch watch;
        QElapsedTimer idleClock;
        idleClock.start();
        waitUntil([&] { return idleClock.elapsed() >= kIdleMs; }, kIdleMs * 2);
        idle = {std::max(watch.longestMs(), 1.0), std::max(watch.longestCpuMs(), 0.1)};
    }
    std::printf("idle: longest heartbeat gap %.1f ms, GUI thread's own work %.1f ms (baseline)\n",
                idle.wallMs, idle.cpuMs);

    // Chat: the log must have taken every message.
    const quint16 chatPort = f.ChatServer->boundPort();
    const int blocksBefore = f.Memo1->blockCount();
    const double memoryBefore = residentMiB();
    const QByteArray chatLine = "<Mallory>: " + QByteArray(kChatLineBytes, 'x');
    const Stall chatStall = stallDuring(
        [&] {
            for (int i = 0; i < chatMessages; ++i)
                sendMessage(chatPort, {chatLine});
        },
        [&] { return f.Memo1->blockCount() >= std::min(blocksBefore + chatMessages - 1, 10000); });
    const double memoryAfter = residentMiB();
    QElapsedTimer repaint;
    repaint.start();
    f.Memo1->viewport()->repaint();
    const double repaintMs = repaint.nsecsElapsed() / 1e6;
    char label[96];
    std::snprintf(label, sizeof label, "%d chat messages of 1 MiB", chatMessages);
    printStall(label, chatStall, idle);
    std::printf("%s: memory growth %+.1f MiB = %.3f x the %.0f MiB sent; first log repaint "
                "afterwards %.1f ms = %.2f x the limit\n",
                label, memoryAfter - memoryBefore,
                (memoryAfter - memoryBefore) / (chatMessages * (kChatLineBytes / 1048576.0)),
                chatMessages * (kChatLineBytes / 1048576.0), repaintMs, repaintMs / kStallLimitMs);

    // Requests: names that are and are not in the trade folder, the last request told apart by
    // its last name.
    const quint16 tradePort = f.TradeServer->boundPort();
    QList<QList<QByteArray>> requests;
    for (int r = 0; r < kRequests; ++r) {
        QList<QByteArray> lines{kAskForTrade};
        for (int i = 0; i < kRequestNames; ++i)
            lines << (i % 2
                          ? QByteArray("file") + QByteArray::number(i % kTradeFolderFiles) + ".dat"
                          : QByteArray("wish") + QByteArray::number(i) + ".bin");
        lines.last() = "last" + QByteArray::number(r);
        requests << lines;
    }
    const QByteArray lastName = requests.last().last();
    const Stall requestStall = stallDuring(
        [&] {
            for (const QList<QByteArray>& request : std::as_const(requests))
                sendMessage(tradePort, request);
        },
        [&] { return f.SendQueue.size() == kRequestNames && f.SendQueue.last() == lastName; });
    std::snprintf(label, sizeof label, "%d requests of %d names against %d files", kRequests,
                  kRequestNames, kTradeFolderFiles);
    printStall(label, requestStall, idle);

    QList<QByteArray> listing{kSendFileList};
    for (int i = 0; i < kListedFiles; ++i)
        listing << "listed" + QByteArray::number(i) + ".txt"
                << "txt" << QByteArray::number(i);
    const Stall listingStall =
        stallDuring([&] { sendMessage(tradePort, listing); },
                    [&] { return f.ListView1->topLevelItemCount() == kListedFiles; });
    std::snprintf(label, sizeof label, "a listing of %d files", kListedFiles);
    printStall(label, listingStall, idle);
    return EXIT_SUCCESS;
}
