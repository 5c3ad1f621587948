#pragma once
// Mouse input on a copy's drawing board and reads of its bitmap, shared by the board tests.
//
// Presses and releases go through QTest; moves are sent straight to the view with the buttons the
// caller names, the way the platform reports a drag (QTest's own moves carry no held button).

#include "app/MainForm.h"
#include "board/Board.h"
#include "board/BoardView.h"
#include "support/TwoCopies.h"

#include <QApplication>
#include <QImage>
#include <QList>
#include <QMouseEvent>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <optional>

// Platform colours 0x00BBGGRR used by the board tests.
inline constexpr quint32 kBlack = 0x000000;
inline constexpr quint32 kWhite = 0xFFFFFF;
inline constexpr quint32 kRed = 0x0000FF;
inline constexpr quint32 kGreen = 0x00FF00;
inline constexpr quint32 kBlue = 0xFF0000;
// Longest wait for the canvas keeper, which runs every 1500 ms.
inline constexpr int kKeeperDeadlineMs = 4000;

inline void pressOn(BoardView* view, QPoint at, Qt::MouseButton button = Qt::LeftButton) {
    QTest::mousePress(view, button, Qt::NoModifier, at);
}

inline void releaseOn(BoardView* view, QPoint at, Qt::MouseButton button = Qt::LeftButton) {
    QTest::mouseRelease(view, button, Qt::NoModifier, at);
}

inline void moveOn(BoardView* view, QPoint at, Qt::MouseButtons held = Qt::NoButton) {
    QMouseEvent move(QEvent::MouseMove, at, view->mapToGlobal(at), Qt::NoButton, held,
                     Qt::NoModifier);
    QApplication::sendEvent(view, &move);
}

// A left-button stroke through the points: press at the first, moves, release at the last.
inline void strokeOn(BoardView* view, const QList<QPoint>& points) {
    pressOn(view, points.first());
    for (qsizetype i = 1; i + 1 < points.size(); ++i)
        moveOn(view, points[i], Qt::LeftButton);
    releaseOn(view, points.last());
}

inline QRgb boardPixel(const TForm1& form, int x, int y) {
    QRgb pixel = 0;
    form.board->read([&](const QImage& image) { pixel = image.pixel(x, y); });
    return pixel;
}

// True when all four pixels of the square at p have the platform colour.
inline bool squareHas(const QImage& image, QPoint p, quint32 color) {
    const QRgb want = platformColorToRgb(color);
    for (const QPoint d : {QPoint(0, 0), QPoint(1, 0), QPoint(0, 1), QPoint(1, 1)}) {
        const QPoint q = p + d;
        if (!image.valid(q) || image.pixel(q) != want)
            return false;
    }
    return true;
}

inline bool squareHas(const TForm1& form, QPoint p, quint32 color) {
    bool all = false;
    form.board->read([&](const QImage& image) { all = squareHas(image, p, color); });
    return all;
}

// The pixels whose colour differs between two bitmaps of the same size.
inline QList<QPoint> changedPixels(const QImage& before, const QImage& after) {
    QList<QPoint> changed;
    for (int y = 0; y < before.height(); ++y)
        for (int x = 0; x < before.width(); ++x)
            if (before.pixel(x, y) != after.pixel(x, y))
                changed << QPoint(x, y);
    return changed;
}

// Gives the copy's colour and save dialogs the answers the test wants; boxes are still collected.
inline void answerDialogs(Copy& copy,
                          std::function<std::optional<quint32>(quint32 current)> chooseColor,
                          std::function<QString(const QString& lastName)> chooseSaveFile = {}) {
    FormDialogs dialogs;
    dialogs.showError = [&copy](const QString& text) { copy.errors << text; };
    dialogs.showMessage = [&copy](const QString& text) { copy.messages << text; };
    dialogs.chooseColor = std::move(chooseColor);
    dialogs.chooseSaveFile =
        chooseSaveFile ? std::move(chooseSaveFile) : [](const QString&) { return QString(); };
    copy.form->setDialogs(dialogs);
}

// A copy of its own, not online, with the board at the view's size.
inline std::unique_ptr<Copy> boardCopy() {
    auto copy = std::make_unique<Copy>();
    startForm(*copy);
    TForm1& form = *copy->form;
    EXPECT_TRUE(waitUntil([&] { return form.board->size() == form.Image2->size(); }));
    return copy;
}
