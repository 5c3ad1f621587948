// How fast one file moves through an encrypted session of the download channel, and what it
// costs. A download listener and an upload client, each with an identity of its own and on a
// network thread of its own as two copies would be, run in this process over 127.0.0.1: the file
// goes five times from header to renamed file in one session, and in the same run the same bytes
// go five times through a plain socket into a file, flushed to disk, as the baseline. Printed: the
// throughput ratio of the medians (aim >= 0.5), the process's peak resident memory above its idle
// figure while the files move (aim <= 64 MiB), and the longest time the GUI thread went without
// handling events during the transfers (aim <= 16 ms).
//
// Usage: bench_session_transfer [bytes]   (default 1 GiB). Files live in a temporary folder.

#include "TransferBaseline.h"

#include "crypto/Identity.h"
#include "crypto/TlsContext.h"
#include "net/NetworkThread.h"
#include "trade/EventSockets.h"
#include "trade/FileHeader.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

using namespace bench;

namespace {
constexpr qint64 kDefaultBytes = qint64(1) << 30;
constexpr int kDeadlineMs = 600000;
constexpr int kRounds = 5;
constexpr double kMiB = 1024.0 * 1024.0;

std::shared_ptr<TlsContext> contextIn(const QString& folder, QByteArray* key) {
    QDir().mkpath(folder);
    const IdentityLoad load = loadOrCreateIdentity(folder);
    if (!load.identity)
        return nullptr;
    *key = load.identity->fingerprint;
    QString error;
    return TlsContext::create(*load.identity, &error);
}
} // namespace

int main(int argc, char** argv) {
    if (qgetenv("QT_QPA_PLATFORM").isEmpty())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const qint64 bytes = argc > 1 ? std::atoll(argv[1]) : kDefaultBytes;

    QTemporaryDir folder;
    QByteArray receiverKey, senderKey;
    const auto receiverContext = contextIn(folder.filePath("receiver"), &receiverKey);
    const auto senderContext = contextIn(folder.filePath("sender"), &senderKey);
    if (!receiverContext || !senderContext) {
        std::printf("no identities\n");
        return 1;
    }
    const QByteArray name = "bench.bin";
    const QString source = folder.filePath("source.bin");
    const QString save = folder.filePath("save") + "/";
    QDir().mkpath(save);
    writeFile(source, bytes);

    Mailbox window;
    NetworkThread receiving, sending;
    TServerSocket server(nullptr, receiving, window);
    TClientSocket client(nullptr, sending, window);
    int written = 0;
    QObject::connect(&server, &TServerSocket::clientRead,
                     [&](TServerSocket*, const DownloadEvent& event) {
                         written += event.kind == DownloadEvent::Kind::Written ? 1 : 0;
                     });
    server.setSaveFolder(save);
    server.setAllowedPeer(INADDR_LOOPBACK);
    server.setSessionPolicy({receiverContext, senderKey, true});
    server.Open();
    waitUntil([&] { return server.boundPort() != 0; });
    client.setHost(QStringLiteral("127.0.0.1"));
    client.setPort(server.boundPort());
    client.setSession({senderContext, receiverKey, false});
    client.Open();
    const bool connected = waitUntil([&] { return client.Connected(); });

    Heartbeat beat;
    waitUntil([] { return false; }, 300); // settle
    const qint64 idleResident = residentBytes();
    bool arrived = connected;
    double longestGapMs = 0;
    std::vector<double> seconds, plainSeconds;
    for (int round = 0; round < kRounds && arrived; ++round) {
        AskedFiles asked;
        asked.reset({name});
        server.setAskedFiles(asked);
        auto file = std::make_unique<QFile>(source);
        file->open(QIODevice::ReadOnly);
        beat.start();
        QElapsedTimer clock;
        clock.start();
        client.SendFile(encodeFileHeader(name, bytes), std::move(file), bytes);
        arrived = waitUntil([&] { return written == round + 1; }, kDeadlineMs);
        seconds.push_back(clock.elapsed() / 1000.0);
        longestGapMs = std::max(longestGapMs, beat.longestGapMs);
        beat.timer.stop();
        beat.peakResident = std::max(beat.peakResident, residentBytes());
        QFile::remove(save + name);
        waitUntil([&] { return !client.Sending(); });
        plainSeconds.push_back(plainCopySeconds(source, folder.filePath("copy.bin")));
        QFile::remove(folder.filePath("copy.bin"));
    }
    client.Close();
    sending.stop();
    receiving.stop();
    window.shut();

    if (!arrived) {
        std::printf("A FILE DID NOT ARRIVE\n");
        return 1;
    }
    const double plainMedian = median(plainSeconds);
    const double sessionMedian = median(seconds);
    std::printf("file bytes: %lld, %d times\n", static_cast<long long>(bytes), kRounds);
    std::printf("plain copy seconds, median: %.2f; session seconds, median: %.2f\n", plainMedian,
                sessionMedian);
    std::printf("throughput ratio (aim >= 0.5): %.2f\n", plainMedian / sessionMedian);
    std::printf("peak resident above idle (aim <= 64 MiB): %.1f MiB\n",
                (beat.peakResident - idleResident) / kMiB);
    std::printf("longest GUI-thread gap during the transfers (aim <= 16 ms): %.1f ms\n",
                longestGapMs);
    return 0;
}
