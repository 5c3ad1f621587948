// How fast a long stroke reaches the peer. Two copies in this process are connected over
// loopback; a stroke of N points is drawn on the first through its mouse handlers, and the time
// from the mouse-up until the second has painted the last point is set against the pump's own
// limit of one record per 2 ms tick. Meanwhile a 1 ms timer on the GUI thread measures the longest
// stretch the first window could not handle events, set against 50 ms.
//
// Usage: bench_plot_drain [N]   (N defaults to 2000)

#include "support/BoardProbe.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kDefaultRecords = 2000;
constexpr double kPumpTickMs = 2.0;    // one record per tick at the most
constexpr double kStallLimitMs = 50.0; // longest acceptable pause of the window
constexpr double kAimRatio = 1.1;
constexpr int kHeartbeatMs = 1;
constexpr int kPointsPerRow = 200;
constexpr int kSpacing = 2; // squares side by side, none covering another
constexpr int kMargin = 10;
constexpr int kDrainDeadlineMs = 120000;

QPoint pointAt(int i) {
    return QPoint(kMargin + kSpacing * (i % kPointsPerRow),
                  kMargin + kSpacing * (i / kPointsPerRow));
}

} // namespace

int main(int argc, char** argv) {
    if (qgetenv("QT_QPA_PLATFORM").isEmpty())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int records = argc > 1 ? std::max(3, std::atoi(argv[1])) : kDefaultRecords;

    CopyPair pair = connectedPair();
    TForm1& a = *pair.a->form;
    TForm1& b = *pair.b->form;
    if (a.statusIconIndex != 2 || b.statusIconIndex != 2) {
        std::fprintf(stderr, "the two copies did not connect\n");
        return EXIT_FAILURE;
    }
    const QPoint last = pointAt(records - 1);
    if (!QRect(QPoint(0, 0), b.board->size()).contains(last + QPoint(1, 1))) {
        std::fprintf(stderr, "the board is too small for %d points\n", records);
        return EXIT_FAILURE;
    }

    a.setDrawColor(kRed);
    a.Image2MouseDown(pointAt(0).x(), pointAt(0).y());
    for (int i = 1; i + 1 < records; ++i)
        a.Image2MouseMove(pointAt(i).x(), pointAt(i).y());

    qint64 longestGapNs = 0;
    QElapsedTimer sinceBeat;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        longestGapNs = std::max(longestGapNs, sinceBeat.nsecsElapsed());
        sinceBeat.restart();
    });

    // Ticks of the pump timer during the drain: fewer records than ticks means ticks found the
    // previous record still on its way.
    int ticks = 0;
    QObject::connect(a.Timer2, &QTimer::timeout, [&] { ++ticks; });

    QElapsedTimer drain;
    a.Image2MouseUp(last.x(), last.y());
    drain.start();
    sinceBeat.start();
    heartbeat.start(kHeartbeatMs);
    const bool arrived = waitUntil([&] { return squareHas(b, last, kRed); }, kDrainDeadlineMs);
    const double drainMs = drain.nsecsElapsed() / 1e6;
    heartbeat.stop();
    if (!arrived) {
        std::fprintf(stderr, "the last point did not arrive within %d ms\n", kDrainDeadlineMs);
        return EXIT_FAILURE;
    }
    int missing = 0;
    for (int i = 0; i < records; ++i)
        missing += !squareHas(b, pointAt(i), kRed);

    const double limitMs = records * kPumpTickMs;
    const double stallMs = longestGapNs / 1e6;
    std::printf("records: %d (missing on the peer: %d)\n", records, missing);
    std::printf("drain: %.1f ms, limit N x 2 ms: %.1f ms, ratio: %.3f (aim <= %.1f)\n", drainMs,
                limitMs, drainMs / limitMs, kAimRatio);
    std::printf("per record: %.3f ms, pump ticks: %d, records per tick: %.3f\n", drainMs / records,
                ticks, double(records) / std::max(ticks, 1));
    std::printf("longest GUI stall: %.1f ms, limit: %.0f ms, ratio: %.3f\n", stallMs, kStallLimitMs,
                stallMs / kStallLimitMs);
    std::fflush(stdout);
    return EXIT_SUCCESS;
}
