// Program start: the windows in their order, the first-run hint and modal Help, Info and Help from
// the menu without blocking.

#include "support/TwoCopies.h"

#include "app/ProgramStart.h"
#include "windows/FolderChooser.h"
#include "windows/HelpWindow.h"
#include "windows/InfoWindow.h"

#include <QAction>
#include <QApplication>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

TEST(ProgramStart, FirstRunShowsHintThenModalHelpThenNothingOnTheNextRun) {
    QTemporaryDir folder;
    QStringList events;
    FormDialogs dialogs;
    dialogs.showMessage = [&](const QString& text) {
        events << (text.startsWith("If you want to use Vorlax") ? "firewall hint" : text);
    };
    dialogs.showError = [&](const QString& text) { events << "error: " + text; };
    // The Help window comes up modally after the main window was created; close it as a user would.
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* help = qobject_cast<TForm3*>(w); help && help->isVisible()) {
                events << (help->isModal() ? "modal help" : "help");
                help->close();
            }
        }
    });
    closer.start(5);
    ProgramWindows windows = createProgramWindows(folder.path(), dialogs);
    closer.stop();
    EXPECT_EQ(events, (QStringList{"firewall hint", "modal help"}));
    EXPECT_FALSE(windows.Form1->isVisible()); // the message loop shows it afterwards
    EXPECT_EQ(windows.Form2->windowTitle(), "Choose a folder please:");
    EXPECT_EQ(windows.InfoForm->windowTitle(), "Info");
    EXPECT_EQ(windows.Form3->windowTitle(), "Help");
    EXPECT_EQ(windows.Form3->Memo1->toPlainText().split('\n').size(), 17);
    EXPECT_EQ(windows.Form3->Memo1->toPlainText().split('\n').value(16),
              "5. Both PC have to execut an online Vorlax .");

    // Info and Help from the menu: shown without blocking, once each however often opened.
    windows.Form1->show();
    windows.Form1->info1->trigger();
    windows.Form1->info1->trigger();
    windows.Form1->Help1->trigger();
    EXPECT_TRUE(windows.InfoForm->isVisible());
    EXPECT_FALSE(windows.InfoForm->isModal());
    EXPECT_TRUE(windows.Form3->isVisible());
    EXPECT_FALSE(windows.Form3->isModal());
    windows.Form1->close();
    windows = ProgramWindows();

    events.clear();
    ProgramWindows again = createProgramWindows(folder.path(), dialogs);
    EXPECT_TRUE(events.isEmpty());
    EXPECT_FALSE(again.Form3->isVisible());
}
