#include "app/ProgramStart.h"

#include "app/DesktopIdentity.h"
#include "app/MainForm.h"
#include "windows/FolderChooser.h"
#include "windows/HelpWindow.h"
#include "windows/InfoWindow.h"

#include <QApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QWindow>

#include <cstdio>

namespace {
// The other windows belong to the main window: the desktop keeps them above it (never behind), as
// dialogs of it. They are not its children, so they keep their own lifetime.
void keepAbove(QWidget* window, QWidget* owner) {
    QWindow* ownerHandle = owner->windowHandle();
    if (!ownerHandle || !owner->isVisible())
        return;
    window->winId(); // makes the native window, so it can be told its owner before it shows
    window->windowHandle()->setTransientParent(ownerHandle);
}

void bringUp(QWidget* window, QWidget* owner) {
    keepAbove(window, owner);
    window->show();
    window->raise();
    window->activateWindow();
}
} // namespace

ProgramWindows::ProgramWindows() = default;
ProgramWindows::ProgramWindows(ProgramWindows&&) noexcept = default;
ProgramWindows& ProgramWindows::operator=(ProgramWindows&&) noexcept = default;
ProgramWindows::~ProgramWindows() {
    // The main window goes first: its close writes the settings and takes the program offline.
    Form1.reset();
}

ProgramWindows createProgramWindows(const QString& programFolder, FormDialogs dialogs) {
    ProgramWindows windows;
    windows.Form1 = std::make_unique<TForm1>(programFolder, dialogs);
    windows.Form2 = std::make_unique<TForm2>();
    windows.InfoForm = std::make_unique<TInfoForm>();
    windows.Form3 = std::make_unique<TForm3>();
    TForm1* form = windows.Form1.get();
    TForm2* chooser = windows.Form2.get();
    TInfoForm* info = windows.InfoForm.get();
    TForm3* help = windows.Form3.get();
    if (!dialogs.chooseFolder)
        dialogs.chooseFolder = [chooser, form] {
            keepAbove(chooser, form);
            return chooser->choose();
        };
    dialogs.showInfo = [info, form] { bringUp(info, form); };
    dialogs.showHelp = [help, form] { bringUp(help, form); };
    form->setDialogs(dialogs);
    if (!QFileInfo::exists(form->settingsPath()))
        help->showModal();
    return windows;
}

int runProgram(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::fprintf(
            stderr, "Vorlax needs a graphical display, and none was found (DISPLAY is not set).\n");
        return 1;
    }
    QApplication app(argc, argv);
    // The application title. No display name is set: the platform would append it to every
    // window's caption, and each window's caption is exactly its own.
    QApplication::setApplicationName("Vorlax");
    QApplication::setQuitOnLastWindowClosed(false);
    applyDesktopIdentity();
    ProgramWindows windows = createProgramWindows();
    QObject::connect(windows.Form1.get(), &TForm1::formClosed, &app, &QCoreApplication::quit);
    windows.Form1->show();
    return app.exec();
}
