// The program on a Wayland desktop (run by tests/wayland/run-under-compositor.sh under a headless
// compositor): the main window shows, a stroke drawn on the board lands where it was drawn, on the
// board and on the screen, and closing keeps the settings file's position lines, which a Wayland
// client can neither learn nor set.

#include "support/BoardProbe.h"
#include "support/TwoCopies.h"

#include "app/Settings.h"
#include "board/BoardView.h"
#include "common/LineFile.h"

#include <QDir>
#include <QGuiApplication>
#include <QSignalSpy>
#include <QWindow>

#include <gtest/gtest.h>

namespace {
// A compositor on a busy machine may take its time to put a window on screen.
constexpr int kOnScreenMs = 20000;
constexpr int kTop = 77, kLeft = 155;

// A copy whose settings file places its window at kLeft, kTop.
void startPlacedCopy(Copy& copy) {
    QDir().mkpath(copy.tradeFolder());
    QDir().mkpath(copy.saveFolder());
    std::array<QString, kSettingsFieldCount> fields;
    for (int i = 0; i < kSettingsFieldCount; ++i)
        fields[i] = QString::fromUtf8(kSettingsDefaults[i]);
    fields[0] = copy.saveFolder();
    fields[1] = copy.tradeFolder();
    writeLineFile(copy.folder.path() + "/Vorlax.ini",
                  settingsLines(fields, kDefaultWindowWidth, kDefaultWindowHeight, kTop, kLeft));
    startForm(copy);
}
} // namespace

TEST(Wayland, WindowShowsStrokeLandsAndPositionLinesStay) {
    ASSERT_TRUE(QGuiApplication::platformName().startsWith("wayland"))
        << "runs on the Wayland platform only, not " << qPrintable(QGuiApplication::platformName());
    Copy copy;
    startPlacedCopy(copy);
    TForm1& form = *copy.form;
    ASSERT_TRUE(waitUntil([&] { return form.windowHandle() && form.windowHandle()->isExposed(); },
                          kOnScreenMs));

    const QList<QPoint> stroke{{30, 30}, {40, 34}, {52, 40}, {64, 48}};
    ASSERT_TRUE(waitUntil([&] { return form.Image2->width() > 100 && form.Image2->height() > 60; },
                          kOnScreenMs));
    strokeOn(form.Image2, stroke);
    const QImage shown = form.Image2->grab().toImage();
    for (const QPoint p : stroke) {
        EXPECT_TRUE(squareHas(form, p, kBlack)) << p.x() << "," << p.y();
        const QPoint onScreen = p * shown.devicePixelRatio();
        EXPECT_EQ(shown.pixel(onScreen), platformColorToRgb(kBlack)) << p.x() << "," << p.y();
    }

    QSignalSpy closed(&form, &TForm1::formClosed);
    form.close();
    ASSERT_TRUE(waitUntil([&] { return !closed.isEmpty(); }, kOnScreenMs));
    const QStringList lines = readLineFile(form.settingsPath());
    ASSERT_EQ(lines.size(), kSettingsLineCount);
    EXPECT_EQ(lines[20], QString::number(kTop));
    EXPECT_EQ(lines[21], QString::number(kLeft));
    // The size still follows the window.
    EXPECT_EQ(lines[18], QString::number(form.frameGeometry().width()));
    EXPECT_EQ(lines[19], QString::number(form.frameGeometry().height()));
    EXPECT_TRUE(copy.errors.isEmpty()) << qPrintable(copy.errors.join('\n'));
}
