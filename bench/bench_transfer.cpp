// How fast one file moves between two copies, and what it costs them. Two copies in this process
// are connected over 127.0.0.1; one sends the other a file (header to renamed file), and in the
// same run the same bytes go through a plain socket into a file with 256 KiB buffers, flushed to
// disk, as the baseline. Printed: the throughput ratio (aim >= 0.9), the process's peak resident
// memory above its idle figure while the file moves (both copies share this process; aim
// <= 64 MiB), and the longest time the GUI thread went without handling events during the
// transfer and during the upload pauses (aim <= 50 ms).
//
// Usage: bench_transfer [bytes]   (default 1 GiB). Files live in a temporary folder, removed after.

#include "Loopback.h"
#include "Resident.h"
#include "support/PeerStandIns.h"
#include "support/TwoCopies.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr qint64 kDefaultBytes = qint64(1) << 30;
constexpr qint64 kBufferBytes = 256 * 1024;
constexpr int kPauseMs = 1000;
constexpr int kHeartbeatMs = 1;
constexpr int kDeadlineMs = 600000;
constexpr double kMiB = 1024.0 * 1024.0;

void writeFile(const QString& path, qint64 size) {
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    QByteArray block = randomBytes(kBufferBytes);
    for (qint64 left = size; left > 0; left -= block.size())
        file.write(block.constData(), std::min<qint64>(left, block.size()));
}

// The baseline: the file through a plain loopback socket into another file, flushed to disk.
double plainCopySeconds(const QString& from, const QString& to) {
    sockaddr_in address;
    const int listener = listenOnLoopback(&address);
    QElapsedTimer clock;
    clock.start();
    std::thread sender([&] {
        int out = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(out, reinterpret_cast<sockaddr*>(&address), sizeof address);
        QFile file(from);
        file.open(QIODevice::ReadOnly);
        QByteArray buffer(kBufferBytes, '\0');
        for (qint64 got; (got = file.read(buffer.data(), buffer.size())) > 0;)
            for (qint64 sent = 0; sent < got;)
                sent += std::max<ssize_t>(0, ::send(out, buffer.constData() + sent, got - sent, 0));
        ::close(out);
    });
    int in = ::accept(listener, nullptr, nullptr);
    QFile file(to);
    file.open(QIODevice::WriteOnly);
    QByteArray buffer(kBufferBytes, '\0');
    for (ssize_t got; (got = ::recv(in, buffer.data(), buffer.size(), 0)) > 0;)
        file.write(buffer.constData(), got);
    file.flush();
    ::fsync(file.handle());
    file.close();
    sender.join();
    ::close(in);
    ::close(listener);
    return clock.elapsed() / 1000.0;
}
} // namespace

int main(int argc, char** argv) {
    if (qgetenv("QT_QPA_PLATFORM").isEmpty())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const qint64 bytes = argc > 1 ? std::atoll(argv[1]) : kDefaultBytes;

    CopyPair pair = connectedPair();
    TForm1& a = *pair.a->form;
    TForm1& b = *pair.b->form;
    b.uploadPauseMs = kPauseMs;
    const QByteArray name = "bench.bin";
    const QString source = pair.b->tradeFolder() + name;
    const QString target = pair.a->saveFolder() + name;
    writeFile(source, bytes);

    // The GUI thread's heartbeat: the longest gap between two beats, and memory now and then.
    QElapsedTimer sinceBeat;
    sinceBeat.start();
    double longestGapMs = 0;
    qint64 peakResident = 0;
    int beats = 0;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        longestGapMs = std::max(longestGapMs, sinceBeat.nsecsElapsed() / 1e6);
        sinceBeat.start();
        if (++beats % 20 == 0)
            peakResident = std::max(peakResident, residentBytes());
    });
    waitUntil([] { return false; }, 300); // settle
    const qint64 idleResident = residentBytes();
    heartbeat.start(kHeartbeatMs);
    sinceBeat.start();

    // The upload pause before the file, then the file itself.
    a.resetAskedFiles({name});
    b.offeredFiles.reset({{name, source}});
    b.agreement.acceptanceSent(b.agreement.round());
    b.SendQueue = {name};
    b.UploadNextFile();
    waitUntil([] { return false; }, kPauseMs - 100);
    const double pauseGapMs = longestGapMs;
    longestGapMs = 0;
    QElapsedTimer transfer;
    transfer.start();
    const bool arrived = waitUntil(
        [&] { return QFile(target).size() == bytes && QFile::exists(target); }, kDeadlineMs);
    const double vorlaxSeconds = transfer.elapsed() / 1000.0;
    const double transferGapMs = longestGapMs;
    heartbeat.stop();
    peakResident = std::max(peakResident, residentBytes());

    QTemporaryDir plain;
    const double plainSeconds = plainCopySeconds(source, plain.path() + "/copy.bin");
    QFile::remove(source);
    QFile::remove(target);

    std::printf("file bytes: %lld%s\n", static_cast<long long>(bytes),
                arrived ? "" : " (DID NOT ARRIVE)");
    std::printf("vorlax seconds: %.2f, plain copy seconds: %.2f\n", vorlaxSeconds, plainSeconds);
    std::printf("throughput ratio (aim >= 0.9): %.2f\n", plainSeconds / vorlaxSeconds);
    std::printf("peak resident above idle, both copies in this process (aim <= 64 MiB): %.1f MiB\n",
                (peakResident - idleResident) / kMiB);
    std::printf("longest GUI-thread gap during transfer (aim <= 50 ms): %.1f ms\n", transferGapMs);
    std::printf("longest GUI-thread gap during the upload pause (aim <= 50 ms): %.1f ms\n",
                pauseGapMs);
    return arrived ? 0 : 1;
}
