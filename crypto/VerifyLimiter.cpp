// How often one peer key may fail verification (crypto/VerifyLimiter.h).

#include "crypto/VerifyLimiter.h"

#include <QElapsedTimer>

#include <algorithm>

VerifyLimiter::VerifyLimiter(std::function<qint64()> now) : now_(std::move(now)) {
    if (!now_) {
        auto clock = std::make_shared<QElapsedTimer>();
        clock->start();
        now_ = [clock] { return clock->elapsed(); };
    }
}

bool VerifyLimiter::allowed(const QByteArray& fingerprint) {
    forgetOld(now_());
    return failures_.value(fingerprint).size() < kMaxFailedVerifications;
}

void VerifyLimiter::recordFailure(const QByteArray& fingerprint) {
    const qint64 now = now_();
    forgetOld(now);
    if (!failures_.contains(fingerprint) && failures_.size() >= kMaxTrackedKeys) {
        const auto stalest = std::min_element(
            failures_.begin(), failures_.end(),
            [](const QList<qint64>& a, const QList<qint64>& b) { return a.last() < b.last(); });
        failures_.erase(stalest);
    }
    QList<qint64>& times = failures_[fingerprint];
    times.append(now);
    if (times.size() > kMaxFailedVerifications)
        times.removeFirst();
}

void VerifyLimiter::forgetOld(qint64 now) {
    for (auto it = failures_.begin(); it != failures_.end();) {
        it->removeIf([&](qint64 time) { return now - time >= kVerifyFailureWindowMs; });
        it = it->isEmpty() ? failures_.erase(it) : std::next(it);
    }
}
