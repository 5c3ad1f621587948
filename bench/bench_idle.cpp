// What an idle copy costs. Two copies in this process go online and connect to each other over
// loopback, each with its Info window (and so its credits panel) created and hidden, as at program
// start; then nothing happens for S seconds. The process's CPU time over that stretch (all its
// threads, from getrusage) is set against the same stretch of a bare event loop with no windows,
// measured first in the same run. A further stretch adds back the ticks an idle copy used to have
// (a 2 ms plot pump tick finding nothing to send, the hidden credits scrolling every 40 ms), to
// show what stopping them saves.
//
// Usage: bench_idle [S]   (S defaults to 20)

#include "support/TwoCopies.h"

#include "windows/InfoWindow.h"
#include "windows/TextPanel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kDefaultSeconds = 20;
constexpr double kAimPercentPerCopy = 0.2;
constexpr int kCopies = 2;
constexpr int kFormerPumpMs = 2;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Runs the event loop for the given time, doing nothing else; returns the CPU use in percent of
// one core.
double idlePercent(int seconds) {
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    const double cpuBefore = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    loop.exec();
    return 100.0 * (cpuSeconds() - cpuBefore) / (wall.nsecsElapsed() / 1e9);
}

} // namespace

int main(int argc, char** argv) {
    if (qgetenv("QT_QPA_PLATFORM").isEmpty())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultSeconds;

    const double baseline = idlePercent(seconds);

    CopyPair pair = connectedPair();
    TForm1& a = *pair.a->form;
    TForm1& b = *pair.b->form;
    if (a.statusIconIndex != 2 || b.statusIconIndex != 2) {
        std::fprintf(stderr, "the two copies did not connect\n");
        return EXIT_FAILURE;
    }
    TInfoForm infoA, infoB; // hidden, as between showings
    const double idle = idlePercent(seconds);
    const double perCopy = std::max(0.0, idle - baseline) / kCopies;

    // The former behaviour: the pump ticking every 2 ms from start to close, finding nothing to
    // send, and the hidden credits scrolling every 40 ms.
    QTimer formerPumps[kCopies], formerCredits[kCopies];
    TForm1* forms[kCopies] = {&a, &b};
    TTextPanel* panels[kCopies] = {infoA.TextPanel1, infoB.TextPanel1};
    for (int i = 0; i < kCopies; ++i) {
        formerPumps[i].setTimerType(Qt::PreciseTimer);
        QObject::connect(&formerPumps[i], &QTimer::timeout,
                         [form = forms[i]] { (void)form->Plot_Client->Connected(); });
        formerPumps[i].start(kFormerPumpMs);
        QObject::connect(&formerCredits[i], &QTimer::timeout,
                         [panel = panels[i]] { panel->ScrollTick(); });
        formerCredits[i].start(int(panels[i]->Interval()));
    }
    const double former = idlePercent(seconds);
    for (int i = 0; i < kCopies; ++i) {
        formerPumps[i].stop();
        formerCredits[i].stop();
    }
    const double formerPerCopy = std::max(0.0, former - baseline) / kCopies;

    std::printf("stretch: %d s each\n", seconds);
    std::printf("bare event loop (baseline): %.3f %% of a core\n", baseline);
    std::printf("two idle copies, online and connected: %.3f %%, per copy above baseline: %.3f %% "
                "(aim <= %.1f %%), ratio to baseline: %.2f\n",
                idle, perCopy, kAimPercentPerCopy, idle / std::max(baseline, 1e-3));
    std::printf("the same with a 2 ms pump tick and the hidden credits' tick kept running: %.3f "
                "%%, per copy above baseline: %.3f %%\n",
                former, formerPerCopy);
    std::fflush(stdout);
    return EXIT_SUCCESS;
}
