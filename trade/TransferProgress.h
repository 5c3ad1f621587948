#pragma once
// The text of the transfer progress shown in the status bar: the file's name, how far it has got,
// the rate so far and the time left at that rate.

#include <QString>

// "name  42 %  12.5 MiB/s  0:07 left"; before any time has passed the rate and time are left out.
QString transferProgressText(const QString& name, qint64 done, qint64 total, qint64 elapsedMs);

// Whole percent of total that done is, 100 for an empty file.
int transferPercent(qint64 done, qint64 total);

// Lets progress through at most ten times a second, and always when a file ends.
class ProgressThrottle {
public:
    bool due(bool ended);
    void restart() { lastMs_ = 0; }

private:
    qint64 lastMs_ = 0;
};
