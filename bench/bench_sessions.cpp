// What an encrypted session costs two copies against the plain protocol, in one run. Two whole
// copies in this process are connected over 127.0.0.1, first plainly, then with each copy's entry
// for the other marked for encryption, as a user marks it in the address book. On each link:
//  - plot drain: a stroke of N points from the first copy to the second, timed from the mouse-up
//    until the peer painted the last point, against the pump's limit of one record per 2 ms tick;
//  - chat latency: from Enter on the first copy until the line is in the second copy's log, the
//    median of many lines.
// In the session, the second copy then trades 1000 files of 10 KiB to the first, timed from the
// second acceptance until the last file is in the save folder (aim <= 10 s), beside what the
// pauses the plain protocol keeps around every file would add to the same trade.
//
// Usage: bench_sessions [files] [lines] [records]   (defaults 1000, 200, 2000)

#include "PlotDrain.h"
#include "support/PeerStandIns.h"

#include "app/EncryptionLock.h"
#include "app/Settings.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

using namespace bench;

namespace {

constexpr int kDefaultFiles = 1000;
constexpr int kDefaultLines = 200;
constexpr int kDefaultRecords = 2000;
constexpr qint64 kFileBytes = 10 * 1024;
constexpr double kTradeAimSeconds = 10.0;
constexpr int kWaitMs = 20000;
constexpr int kTradeDeadlineMs = 120000;
constexpr int kFolderLookMs = 20; // how often the save folder is counted during the trade
const QString kLoopback = QStringLiteral("127.0.0.1");

struct Link {
    explicit Link(const char* linkName) : name(linkName) {}
    const char* name;
    Drain drain;
    double chatMedianMs = 0;
    bool chatArrived = true;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Two copies that marked each other for encryption, connected, their locks showing a session.
CopyPair sessionPair() {
    const auto [pa, pb] = freePortSets();
    CopyPair pair{makeCopy(pa, pb, "Anna"), makeCopy(pb, pa, "Bert")};
    for (Copy* copy : {pair.a.get(), pair.b.get()}) {
        copy->form->markForEncryption(kLoopback, true);
        goOnline(*copy->form);
    }
    connectTo(*pair.a->form, kLoopback);
    connectTo(*pair.b->form, kLoopback);
    const auto locked = [](const Copy& copy) {
        return copy.form->EncryptionLock1->accessibleDescription() == "Encrypted, not verified";
    };
    if (!waitUntil([&] { return locked(*pair.a) && locked(*pair.b); }, kWaitMs))
        return {};
    return pair;
}

// Each line typed on a and sent with Enter, timed until b's log ends with it.
std::vector<double> chatLatencies(TForm1& a, TForm1& b, int lines, bool* arrived) {
    std::vector<double> latencies;
    QString expected;
    QElapsedTimer clock;
    double arrivedMs = -1;
    const QMetaObject::Connection watching =
        QObject::connect(b.Memo1, &QPlainTextEdit::textChanged, [&] {
            if (arrivedMs < 0 && b.Memo1->document()->lastBlock().text() == expected)
                arrivedMs = clock.nsecsElapsed() / 1e6;
        });
    for (int i = 0; i < lines && *arrived; ++i) {
        const QString text = QStringLiteral("line %1 of the latency run").arg(i);
        expected = "<Anna>: " + text;
        arrivedMs = -1;
        a.Edit3->setText(text);
        clock.start();
        QTest::keyClick(a.Edit3, Qt::Key_Return);
        *arrived = waitUntil([&] { return arrivedMs >= 0; }, kWaitMs);
        latencies.push_back(arrivedMs);
    }
    QObject::disconnect(watching);
    return latencies;
}

void measureLink(Link& link, CopyPair& pair, int lines, int records) {
    TForm1& a = *pair.a->form;
    TForm1& b = *pair.b->form;
    link.drain = measureDrain(a, b, records, kRed);
    const std::vector<double> latencies = chatLatencies(a, b, lines, &link.chatArrived);
    link.chatMedianMs = median(latencies);
}

// Both users agree on every file of b's trade folder going to a, as the window has them do;
// returns the seconds from b's acceptance until the last file is in a's save folder, or -1.
double tradeAll(Copy& to, Copy& from, int files) {
    TForm1& a = *to.form;
    TForm1& b = *from.form;
    b.ListTradeFolder();
    b.SendFileList();
    if (!waitUntil([&] { return a.ListView1->topLevelItemCount() == files; }, kWaitMs))
        return -1;
    for (int i = 0; i < files; ++i)
        a.ListView1->topLevelItem(i)->setCheckState(0, Qt::Checked);
    // Both ask before either accepts, since an ask voids acceptances.
    QTest::mouseClick(a.BitBtn19, Qt::LeftButton);
    if (!waitUntil([&] { return b.SendQueue.size() == files; }, kWaitMs))
        return -1;
    QTest::mouseClick(b.BitBtn19, Qt::LeftButton);
    if (!waitUntil([&] { return a.agreement.round() == 2; }, kWaitMs))
        return -1;
    QTest::mouseClick(a.BitBtn20, Qt::LeftButton);
    if (!waitUntil([&] { return b.agreement.PeerAccepted(); }, kWaitMs))
        return -1;
    // A QDir keeps what it listed once; each look takes a new one.
    const auto saved = [&] {
        return QDir(to.saveFolder(), QStringLiteral("file*.bin"), QDir::NoSort, QDir::Files)
            .entryInfoList();
    };
    QElapsedTimer clock, look;
    clock.start();
    look.start();
    QTest::mouseClick(b.BitBtn20, Qt::LeftButton);
    const bool arrived = waitUntil(
        [&] {
            if (look.elapsed() < kFolderLookMs)
                return false;
            look.restart();
            return int(saved().size()) == files;
        },
        kTradeDeadlineMs);
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (!arrived) {
        std::fprintf(stderr,
                     "%lld of %d files arrived\n--- receiver's log:\n%s\n--- sender's log:\n%s\n",
                     static_cast<long long>(saved().size()), files,
                     qPrintable(a.Memo1->toPlainText()), qPrintable(b.Memo1->toPlainText()));
        return -1;
    }
    // Files are renamed into place whole; each must hold all its bytes.
    for (const QFileInfo& file : saved())
        if (file.size() != kFileBytes)
            return -1;
    return seconds;
}

// The pauses of the plain protocol for one file, as this program keeps them: the uploader's pause
// before and after the upload, and the downloader's Delay before asking for the next file (the
// default of its Options field).
double plainPausesPerFileMs(const TForm1& form) {
    const auto delayField = std::find(kSettingsFieldNames.begin(), kSettingsFieldNames.end(),
                                      std::string_view("Edit9"));
    const int delayMs = std::atoi(kSettingsDefaults[delayField - kSettingsFieldNames.begin()]);
    std::printf("plain protocol's pauses per file: 2 x %d ms around the upload + %d ms Delay\n",
                form.uploadPauseMs, delayMs);
    return 2.0 * form.uploadPauseMs + delayMs;
}

void printLink(const Link& link, const Link& plain) {
    std::printf("%s: plot drain of %d records: %.1f ms, limit N x 2 ms: %.1f ms, ratio: %.3f "
                "(target 1.00), missing on the peer: %d, longest GUI stall: %.1f ms%s\n",
                link.name, link.drain.records, link.drain.drainMs, link.drain.limitMs(),
                link.drain.ratio(), link.drain.missing, link.drain.stallMs,
                link.drain.arrived ? "" : " (THE LAST POINT DID NOT ARRIVE)");
    std::printf("%s: chat line latency, median: %.2f ms, against plain: %.2fx%s\n", link.name,
                link.chatMedianMs, link.chatMedianMs / plain.chatMedianMs,
                link.chatArrived ? "" : " (A LINE DID NOT ARRIVE)");
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (qgetenv("QT_QPA_PLATFORM").isEmpty())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int files = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultFiles;
    const int lines = argc > 2 ? std::max(1, std::atoi(argv[2])) : kDefaultLines;
    const int records = argc > 3 ? std::max(3, std::atoi(argv[3])) : kDefaultRecords;

    Link plain("plain"), session("session");
    {
        CopyPair pair = connectedPair();
        if (pair.a->form->statusIconIndex != 2 || !boardHolds(*pair.b->form, records)) {
            std::fprintf(stderr, "the plain copies did not connect, or the board is too small\n");
            return EXIT_FAILURE;
        }
        measureLink(plain, pair, lines, records);
    }
    CopyPair pair = sessionPair();
    if (!pair.a) {
        std::fprintf(stderr, "the two copies did not reach a session\n");
        return EXIT_FAILURE;
    }
    measureLink(session, pair, lines, records);
    std::printf("chat lines per link: %d\n", lines);
    printLink(plain, plain);
    printLink(session, plain);
    std::printf("session: plot drain against plain: %.3fx\n",
                session.drain.drainMs / plain.drain.drainMs);

    for (int i = 0; i < files; ++i)
        writeTestFile(pair.b->tradeFolder() +
                          QStringLiteral("file%1.bin").arg(i, 4, 10, QChar('0')),
                      randomBytes(kFileBytes));
    const double seconds = tradeAll(*pair.a, *pair.b, files);
    const double pausesSeconds = files * plainPausesPerFileMs(*pair.a->form) / 1000.0;
    if (seconds < 0) {
        std::printf("session: THE TRADE OF %d FILES DID NOT COMPLETE\n", files);
        return EXIT_FAILURE;
    }
    std::printf("session: %d files of %lld bytes: %.2f s (target <= %.0f s)\n", files,
                static_cast<long long>(kFileBytes), seconds, kTradeAimSeconds);
    std::printf("plain protocol's pauses alone for the same files: %.0f s (%.2f h), %.0fx the "
                "session's whole trade\n",
                pausesSeconds, pausesSeconds / 3600.0, pausesSeconds / seconds);
    const bool ok =
        plain.drain.arrived && session.drain.arrived && plain.chatArrived && session.chatArrived;
    return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}
