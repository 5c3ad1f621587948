// Test runner for the windows: a QApplication on the offscreen platform.
#include "support/TestBus.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    keepOffTheSystemBus();
    // Windows in the background post desktop notifications: tests post none to the desktop of
    // whoever runs them (a test of notifications starts a session bus of its own).
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vorlax-tests-have-no-session-bus");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
