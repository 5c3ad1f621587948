#pragma once
// What the transfer benchmarks share: the file they send, the plain socket copy of it that is their
// baseline, and the GUI thread's heartbeat that finds its longest stall and the peak resident
// memory.

#include "Loopback.h"
#include "Resident.h"
#include "support/PeerStandIns.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

namespace bench {
constexpr qint64 kBufferBytes = 256 * 1024;
constexpr int kHeartbeatMs = 1;

inline void writeFile(const QString& path, qint64 size) {
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    QByteArray block = randomBytes(kBufferBytes);
    for (qint64 left = size; left > 0; left -= block.size())
        file.write(block.constData(), std::min<qint64>(left, block.size()));
}

// The baseline: the file through a plain loopback socket into another file, flushed to disk.
inline double plainCopySeconds(const QString& from, const QString& to) {
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
struct Heartbeat {
    QElapsedTimer sinceBeat;
    double longestGapMs = 0;
    qint64 peakResident = 0;
    int beats = 0;
    QTimer timer;

    // The GUI thread's heartbeat: the longest gap between two beats, and memory now and then.
    Heartbeat() {
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            longestGapMs = std::max(longestGapMs, sinceBeat.nsecsElapsed() / 1e6);
            sinceBeat.start();
            if (++beats % 20 == 0)
                peakResident = std::max(peakResident, residentBytes());
        });
    }
    void start() {
        longestGapMs = 0;
        sinceBeat.start();
        timer.start(kHeartbeatMs);
    }
};

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}
} // namespace bench
