#include "trade/TransferProgress.h"

#include <algorithm>
#include <chrono>

namespace {
constexpr double kMiB = 1024.0 * 1024.0;
constexpr qint64 kMsPerSecond = 1000;
constexpr qint64 kSecondsPerMinute = 60;
constexpr qint64 kProgressIntervalMs = 100; // at most ten updates a second
} // namespace

int transferPercent(qint64 done, qint64 total) {
    if (total <= 0)
        return 100;
    return int(std::clamp<qint64>(done, 0, total) * 100 / total);
}

QString transferProgressText(const QString& name, qint64 done, qint64 total, qint64 elapsedMs) {
    QString text = QStringLiteral("%1  %2 %").arg(name).arg(transferPercent(done, total));
    if (elapsedMs <= 0 || done <= 0)
        return text;
    const double bytesPerSecond = double(done) * kMsPerSecond / double(elapsedMs);
    const qint64 secondsLeft = qint64(double(std::max<qint64>(0, total - done)) / bytesPerSecond);
    return text + QStringLiteral("  %1 MiB/s  %2:%3 left")
                      .arg(bytesPerSecond / kMiB, 0, 'f', 1)
                      .arg(secondsLeft / kSecondsPerMinute)
                      .arg(secondsLeft % kSecondsPerMinute, 2, 10, QLatin1Char('0'));
}

bool ProgressThrottle::due(bool ended) {
    using namespace std::chrono;
    const qint64 now = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    if (!ended && lastMs_ != 0 && now - lastMs_ < kProgressIntervalMs)
        return false;
    lastMs_ = now;
    return true;
}
