#pragma once
// The complaints already told, so each is told once only (a folder that cannot be made would
// otherwise be reported by every listing and every file). Any thread.

#include <QString>

#include <mutex>
#include <set>

class ReportedOnce {
public:
    // True the first time `key` is given, false every later time.
    bool first(const QString& key) {
        std::lock_guard lock(mutex_);
        return keys_.insert(key).second;
    }

private:
    std::mutex mutex_;
    std::set<QString> keys_;
};
