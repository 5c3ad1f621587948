#pragma once
// What the windowing platform the program runs on can do. Under Wayland a program can neither
// learn nor choose where its windows are on the screen, and Qt's Wayland platform has no way to
// ask for the user's attention (QApplication::alert does nothing there).

#include <QGuiApplication>
#include <QString>

inline bool runsOnWayland() {
    return QGuiApplication::platformName().startsWith(QStringLiteral("wayland"));
}

// The position a window reports is where it is, and a move puts it there.
inline bool windowPositionsKnown() {
    return !runsOnWayland();
}

// QApplication::alert makes the desktop draw attention to a window.
inline bool canRequestAttention() {
    return !runsOnWayland();
}
