#pragma once
// At most kMaxFailedVerifications failed verifications (codes that differ, or an exchange that
// fails) per peer key within kVerifyFailureWindowMs: beyond that the peer's key may not start
// another until the oldest failure is older than the window, so no one gets many guesses at the
// code by trying again and again. The clock is injected (milliseconds, only ever going forward).
// Bounded: failures older than the window are forgotten, and at most kMaxTrackedKeys keys are
// remembered (the one whose latest failure is oldest goes first).

#include <QByteArray>
#include <QHash>
#include <QList>

#include <functional>

inline constexpr int kMaxFailedVerifications = 3;
inline constexpr qint64 kVerifyFailureWindowMs = 10 * 60 * 1000;

class VerifyLimiter {
public:
    static constexpr int kMaxTrackedKeys = 1024;

    // now: the current time in milliseconds; by default a monotonic clock.
    explicit VerifyLimiter(std::function<qint64()> now = {});

    // Whether the peer with this key fingerprint may verify now.
    bool allowed(const QByteArray& fingerprint);
    void recordFailure(const QByteArray& fingerprint);

private:
    void forgetOld(qint64 now);

    std::function<qint64()> now_;
    QHash<QByteArray, QList<qint64>> failures_; // the times of each key's recent failures
};
