// How fast one file moves between two copies, and what it costs them. Two copies in this process
// are connected over 127.0.0.1; one sends the other a file (header to renamed file), and in the
// same run the same bytes go through a plain socket into a file with 256 KiB buffers, flushed to
// disk, as the baseline. The file goes five times each way, and the plain copy is made five
// times. Printed: the throughput ratio of the medians for each way (aim >= 0.9), the process's
// peak resident memory above its idle figure while the files move (both copies share this
// process; aim <= 64 MiB), and the longest time the GUI thread went without handling events
// during the transfers and during the upload pauses (aim <= 16 ms).
//
// Usage: bench_transfer [bytes]   (default 1 GiB). Files live in a temporary folder, removed after.

#include "TransferBaseline.h"
#include "support/TwoCopies.h"

#include <QApplication>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

using namespace bench;

namespace {
constexpr qint64 kDefaultBytes = qint64(1) << 30;
constexpr int kPauseMs = 1000;
constexpr int kDeadlineMs = 600000;
constexpr int kRounds = 5;
constexpr double kMiB = 1024.0 * 1024.0;

struct Run {
    bool arrived = false;
    double seconds = 0;
    double transferGapMs = 0;
    double pauseGapMs = 0;
};

// One file from `from` to `to`: the upload pause, then the file; timed from the end of the pause
// until the whole file is in the receiver's save folder.
Run sendFile(Copy& from, Copy& to, const QByteArray& name, qint64 bytes, Heartbeat& beat) {
    TForm1& sender = *from.form;
    TForm1& receiver = *to.form;
    const QString source = from.tradeFolder() + name;
    const QString target = to.saveFolder() + name;
    QFile::remove(target);
    receiver.resetAskedFiles({name});
    sender.offeredFiles.reset({{name, source}});
    sender.agreement.acceptanceSent(sender.agreement.round());
    sender.SendQueue = {name};
    beat.start();
    sender.UploadNextFile();
    waitUntil([] { return false; }, kPauseMs - 100);
    Run run;
    run.pauseGapMs = beat.longestGapMs;
    beat.longestGapMs = 0;
    QElapsedTimer transfer;
    transfer.start();
    run.arrived = waitUntil([&] { return QFile(target).size() == bytes && QFile::exists(target); },
                            kDeadlineMs);
    run.seconds = transfer.elapsed() / 1000.0;
    run.transferGapMs = beat.longestGapMs;
    beat.timer.stop();
    QFile::remove(target);
    return run;
}

} // namespace

int main(int argc, char** argv) {
    if (qgetenv("QT_QPA_PLATFORM").isEmpty())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const qint64 bytes = argc > 1 ? std::atoll(argv[1]) : kDefaultBytes;

    CopyPair pair = connectedPair();
    pair.a->form->uploadPauseMs = kPauseMs;
    pair.b->form->uploadPauseMs = kPauseMs;
    const QByteArray name = "bench.bin";
    writeFile(pair.a->tradeFolder() + name, bytes);
    writeFile(pair.b->tradeFolder() + name, bytes);

    Heartbeat beat;
    waitUntil([] { return false; }, 300); // settle
    const qint64 idleResident = residentBytes();

    bool arrived = true;
    std::vector<double> seconds[2];
    std::vector<double> plainSeconds;
    double transferGapMs = 0;
    double pauseGapMs = 0;
    QTemporaryDir plain;
    for (int round = 0; round < kRounds; ++round) {
        for (int way = 0; way < 2; ++way) {
            Copy& from = way == 0 ? *pair.b : *pair.a;
            Copy& to = way == 0 ? *pair.a : *pair.b;
            const Run run = sendFile(from, to, name, bytes, beat);
            arrived = arrived && run.arrived;
            seconds[way].push_back(run.seconds);
            transferGapMs = std::max(transferGapMs, run.transferGapMs);
            pauseGapMs = std::max(pauseGapMs, run.pauseGapMs);
        }
        beat.peakResident = std::max(beat.peakResident, residentBytes());
        plainSeconds.push_back(
            plainCopySeconds(pair.b->tradeFolder() + name, plain.path() + "/copy.bin"));
        QFile::remove(plain.path() + "/copy.bin");
    }
    QFile::remove(pair.a->tradeFolder() + name);
    QFile::remove(pair.b->tradeFolder() + name);

    const double plainMedian = median(plainSeconds);
    std::printf("file bytes: %lld, %d times each way%s\n", static_cast<long long>(bytes), kRounds,
                arrived ? "" : " (A FILE DID NOT ARRIVE)");
    std::printf("plain copy seconds, median: %.2f\n", plainMedian);
    for (int way = 0; way < 2; ++way) {
        const double vorlaxMedian = median(seconds[way]);
        std::printf("%s: vorlax seconds, median: %.2f; throughput ratio (aim >= 0.9): %.2f\n",
                    way == 0 ? "second copy to first" : "first copy to second", vorlaxMedian,
                    plainMedian / vorlaxMedian);
    }
    std::printf("peak resident above idle, both copies in this process (aim <= 64 MiB): %.1f MiB\n",
                (beat.peakResident - idleResident) / kMiB);
    std::printf("longest GUI-thread gap during the transfers (aim <= 16 ms): %.1f ms\n",
                transferGapMs);
    std::printf("longest GUI-thread gap during the upload pauses (aim <= 16 ms): %.1f ms\n",
                pauseGapMs);
    return arrived ? 0 : 1;
}
