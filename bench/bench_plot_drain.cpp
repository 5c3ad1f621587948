// How fast a long stroke reaches the peer. Two copies in this process are connected over
// loopback; a stroke of N points is drawn on the first through its mouse handlers, and the time
// from the mouse-up until the second has painted the last point is set against the pump's own
// limit of one record per 2 ms tick. Meanwhile a 1 ms timer on the GUI thread measures the longest
// stretch the first window could not handle events, set against 50 ms.
//
// Usage: bench_plot_drain [N]   (N defaults to 2000)

#include "PlotDrain.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

using namespace bench;

namespace {
constexpr int kDefaultRecords = 2000;
constexpr double kStallLimitMs = 50.0; // longest acceptable pause of the window
constexpr double kAimRatio = 1.1;
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
    if (!boardHolds(b, records)) {
        std::fprintf(stderr, "the board is too small for %d points\n", records);
        return EXIT_FAILURE;
    }
    const Drain drain = measureDrain(a, b, records, kRed);
    if (!drain.arrived) {
        std::fprintf(stderr, "the last point did not arrive within %d ms\n", kDrainDeadlineMs);
        return EXIT_FAILURE;
    }
    std::printf("records: %d (missing on the peer: %d)\n", records, drain.missing);
    std::printf("drain: %.1f ms, limit N x 2 ms: %.1f ms, ratio: %.3f (aim <= %.1f)\n",
                drain.drainMs, drain.limitMs(), drain.ratio(), kAimRatio);
    std::printf("per record: %.3f ms, pump ticks: %d, records per tick: %.3f\n",
                drain.drainMs / records, drain.ticks, double(records) / std::max(drain.ticks, 1));
    std::printf("longest GUI stall: %.1f ms, limit: %.0f ms, ratio: %.3f\n", drain.stallMs,
                kStallLimitMs, drain.stallMs / kStallLimitMs);
    std::fflush(stdout);
    return EXIT_SUCCESS;
}
