// What encryption costs the processor: 1 GiB goes from one TLS engine to another in memory on one
// thread (no socket: encrypting, decrypting and the engines' bounded buffers alone), and in the
// same run the same bytes are copied with memcpy through the same size of buffer, as the baseline
// (the buffer stays in the cache, so this is the processor's cost alone). For scale, the same
// bytes also go through a plain loopback TCP connection (127.0.0.1, a sending thread). Each is
// measured five times; printed: the medians in MB/s, the ratios, and the resident memory the
// engines grew by while the bytes went through (their buffers are bounded, so it stays small).
//
// Usage: bench_tls [bytes]   (default 1 GiB)

#include "Loopback.h"
#include "Resident.h"

#include "crypto/Identity.h"
#include "crypto/TlsEngine.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr qint64 kDefaultBytes = qint64(1) << 30;
constexpr qsizetype kBlockBytes = 256 * 1024;
constexpr int kRuns = 5;
constexpr double kMB = 1e6;
constexpr double kMiB = 1024.0 * 1024.0;

QByteArray randomBlock() {
    QByteArray block(kBlockBytes, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(block.data()),
                                          kBlockBytes / sizeof(quint32));
    return block;
}

std::shared_ptr<TlsContext> context(const QTemporaryDir& folder) {
    const IdentityLoad load = loadOrCreateIdentity(folder.path());
    QString error;
    auto made = load.identity ? TlsContext::create(*load.identity, &error) : nullptr;
    if (!made) {
        std::fprintf(stderr, "no TLS context: %s%s\n", qPrintable(load.error), qPrintable(error));
        std::exit(1);
    }
    return made;
}

// Moves ciphertext from one engine to the other, as much as the receiver takes, until neither has
// any; then the receiver's plain bytes go to sink.
template <class Sink> void carry(TlsEngine& from, TlsEngine& to, QByteArray& inFlight, Sink sink) {
    inFlight += from.takeCiphertext();
    const qsizetype piece = std::min(inFlight.size(), to.ciphertextRoom());
    if (!to.feedCiphertext(QByteArrayView(inFlight).first(piece))) {
        std::fprintf(stderr, "the session failed: %s\n", qPrintable(to.errorText()));
        std::exit(1);
    }
    inFlight.remove(0, piece);
    for (QByteArray plain = to.takePlain(); !plain.isEmpty(); plain = to.takePlain())
        sink(plain);
}

// Seconds for bytes through a fresh session; checks that every byte arrived unchanged.
double tlsSeconds(const std::shared_ptr<TlsContext>& a, const std::shared_ptr<TlsContext>& b,
                  const QByteArray& block, qint64 bytes, qint64* residentGrowth, QString* suite) {
    TlsEngine client(a, TlsEngine::Role::Client, kAlpnDownload);
    TlsEngine server(b, TlsEngine::Role::Server, kAlpnDownload);
    QByteArray toServer, toClient;
    while (!client.handshakeDone() || !server.handshakeDone()) {
        carry(client, server, toServer, [](const QByteArray&) {});
        carry(server, client, toClient, [](const QByteArray&) {});
    }
    *suite = client.cipherSuite();
    const qint64 residentBefore = residentBytes();
    qint64 sent = 0, received = 0;
    bool same = true;
    QElapsedTimer clock;
    clock.start();
    while (received < bytes) {
        const qsizetype at = qsizetype(sent % kBlockBytes);
        sent += client.writePlain(QByteArrayView(block).sliced(
            at, qsizetype(std::min<qint64>(kBlockBytes - at, bytes - sent))));
        carry(client, server, toServer, [&](const QByteArray& plain) {
            const qsizetype offset = qsizetype(received % kBlockBytes);
            const qsizetype first = std::min(plain.size(), kBlockBytes - offset);
            same = same && std::memcmp(plain.constData(), block.constData() + offset, first) == 0;
            received += plain.size();
        });
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    *residentGrowth = std::max(*residentGrowth, residentBytes() - residentBefore);
    if (!same || received != bytes) {
        std::fprintf(stderr, "the bytes did not arrive unchanged\n");
        std::exit(1);
    }
    return seconds;
}

// The baseline: the same bytes copied with memcpy, block by block, into a buffer the same size.
double memcpySeconds(const QByteArray& block, qint64 bytes) {
    QByteArray sink(kBlockBytes, Qt::Uninitialized);
    unsigned checksum = 0;
    QElapsedTimer clock;
    clock.start();
    for (qint64 copied = 0; copied < bytes; copied += kBlockBytes) {
        const qsizetype length = qsizetype(std::min<qint64>(kBlockBytes, bytes - copied));
        std::memcpy(sink.data(), block.constData(), size_t(length));
        checksum += uint8_t(sink[length - 1]); // the copy is used, so it is not left out
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    return checksum == 1 ? seconds + 1e-12 : seconds;
}

// For scale: the same bytes through a plain loopback TCP connection, sent from a second thread.
double loopbackSeconds(const QByteArray& block, qint64 bytes) {
    sockaddr_in address;
    const int listener = listenOnLoopback(&address);
    QElapsedTimer clock;
    clock.start();
    std::thread sender([&] {
        const int out = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(out, reinterpret_cast<sockaddr*>(&address), sizeof address);
        for (qint64 sent = 0; sent < bytes;) {
            const qsizetype at = qsizetype(sent % kBlockBytes);
            const size_t piece = size_t(std::min<qint64>(kBlockBytes - at, bytes - sent));
            sent += std::max<ssize_t>(0, ::send(out, block.constData() + at, piece, 0));
        }
        ::close(out);
    });
    const int in = ::accept(listener, nullptr, nullptr);
    QByteArray sink(kBlockBytes, Qt::Uninitialized);
    qint64 received = 0;
    for (ssize_t got; (got = ::recv(in, sink.data(), size_t(sink.size()), 0)) > 0;)
        received += got;
    const double seconds = clock.nsecsElapsed() / 1e9;
    sender.join();
    ::close(in);
    ::close(listener);
    if (received != bytes) {
        std::fprintf(stderr, "the loopback copy lost bytes\n");
        std::exit(1);
    }
    return seconds;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}
} // namespace

int main(int argc, char** argv) {
    const qint64 bytes = argc > 1 ? std::atoll(argv[1]) : kDefaultBytes;
    QTemporaryDir folderA, folderB;
    const auto a = context(folderA);
    const auto b = context(folderB);
    const QByteArray block = randomBlock();

    std::vector<double> tls, plain, loopback;
    qint64 residentGrowth = 0;
    QString suite;
    for (int run = 0; run < kRuns; ++run) {
        plain.push_back(memcpySeconds(block, bytes));
        tls.push_back(tlsSeconds(a, b, block, bytes, &residentGrowth, &suite));
        loopback.push_back(loopbackSeconds(block, bytes));
    }

    const double tlsRate = bytes / median(tls) / kMB;
    const double plainRate = bytes / median(plain) / kMB;
    const double loopbackRate = bytes / median(loopback) / kMB;
    std::printf("bytes: %lld, medians of %d runs\n", static_cast<long long>(bytes), kRuns);
    std::printf("memcpy baseline: %.0f MB/s\n", plainRate);
    std::printf("two TLS engines in memory, one thread (%s): %.0f MB/s\n", qPrintable(suite),
                tlsRate);
    std::printf("ratio to memcpy: %.3f\n", tlsRate / plainRate);
    std::printf("plain loopback TCP copy: %.0f MB/s; TLS engines' ratio to it: %.2f\n",
                loopbackRate, tlsRate / loopbackRate);
    std::printf("resident memory growth while the bytes went through: %.1f MiB\n",
                residentGrowth / kMiB);
    return 0;
}
