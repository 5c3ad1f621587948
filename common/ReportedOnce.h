#pragma once
// The complaints already told, so each is told once only (a folder that cannot be made would
// otherwise be reported by every listing and every file). GUI thread only.

#include <QString>

#include <set>

class ReportedOnce {
public:
    // True the first time `key` is given, false every later time.
    bool first(const QString& key) { return keys_.insert(key).second; }

private:
    std::set<QString> keys_;
};
