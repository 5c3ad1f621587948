#pragma once
// How fast a long stroke reaches the peer, shared by the plot benchmarks. A stroke of N points is
// drawn on the first copy through its mouse handlers, and the time from the mouse-up until the
// second has painted the last point is set against the pump's own limit of one record per 2 ms
// tick. Meanwhile a 1 ms timer on the GUI thread measures the longest stretch the first window
// could not handle events.

#include "support/BoardProbe.h"

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

namespace bench {

constexpr double kPumpTickMs = 2.0; // one record per tick at the most
constexpr int kDrainPointsPerRow = 200;
constexpr int kDrainSpacing = 2; // squares side by side, none covering another
constexpr int kDrainMargin = 10;
constexpr int kDrainDeadlineMs = 120000;

struct Drain {
    bool arrived = false;
    int records = 0;
    int missing = 0; // points of the stroke not painted on the peer
    int ticks = 0;   // pump ticks during the drain
    double drainMs = 0;
    double stallMs = 0;
    double limitMs() const { return records * kPumpTickMs; }
    double ratio() const { return drainMs / limitMs(); }
};

inline QPoint drainPoint(int i) {
    return QPoint(kDrainMargin + kDrainSpacing * (i % kDrainPointsPerRow),
                  kDrainMargin + kDrainSpacing * (i / kDrainPointsPerRow));
}

inline bool boardHolds(const TForm1& form, int records) {
    return QRect(QPoint(0, 0), form.board->size()).contains(drainPoint(records - 1) + QPoint(1, 1));
}

// One stroke of `records` points in `color` from a to b, timed from the mouse-up.
inline Drain measureDrain(TForm1& a, TForm1& b, int records, quint32 color) {
    const QPoint last = drainPoint(records - 1);
    a.setDrawColor(color);
    a.Image2MouseDown(drainPoint(0).x(), drainPoint(0).y());
    for (int i = 1; i + 1 < records; ++i)
        a.Image2MouseMove(drainPoint(i).x(), drainPoint(i).y());

    qint64 longestGapNs = 0;
    QElapsedTimer sinceBeat;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        longestGapNs = std::max(longestGapNs, sinceBeat.nsecsElapsed());
        sinceBeat.restart();
    });
    // Fewer records than ticks means ticks found the previous record still on its way.
    Drain drain;
    drain.records = records;
    const QMetaObject::Connection counting =
        QObject::connect(a.Timer2, &QTimer::timeout, [&] { ++drain.ticks; });

    QElapsedTimer clock;
    a.Image2MouseUp(last.x(), last.y());
    clock.start();
    sinceBeat.start();
    heartbeat.start(1);
    drain.arrived = waitUntil([&] { return squareHas(b, last, color); }, kDrainDeadlineMs);
    drain.drainMs = clock.nsecsElapsed() / 1e6;
    heartbeat.stop();
    QObject::disconnect(counting);
    drain.stallMs = longestGapNs / 1e6;
    for (int i = 0; i < records; ++i)
        drain.missing += !squareHas(b, drainPoint(i), color);
    return drain;
}

} // namespace bench
