// The Info window and the folder buttons: the credits, closing by OK and by Enter, one Info window
// however often opened, and the chosen folder with its "/" in the Options fields.

#include "support/PeerStandIns.h"
#include "support/TwoCopies.h"

#include "app/ProgramStart.h"
#include "net/TcpChannel.h"
#include "windows/FolderChooser.h"
#include "windows/HelpWindow.h"
#include "windows/InfoWindow.h"
#include "windows/TextPanel.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QWindow>

#include <gtest/gtest.h>

#include <mutex>

namespace {

void touch(const QString& path) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
}

QAccessibleInterface* accessible(QObject* object) {
    return QAccessible::queryAccessibleInterface(object);
}

// Searches the accessibility tree below root, as a screen reader walks it.
QAccessibleInterface* findAccessible(QAccessibleInterface* root, QAccessible::Role role,
                                     const QString& name) {
    if (root->role() == role && root->text(QAccessible::Name) == name)
        return root;
    for (int i = 0; i < root->childCount(); ++i) {
        if (QAccessibleInterface* child = root->child(i)) {
            if (QAccessibleInterface* found = findAccessible(child, role, name))
                return found;
        }
    }
    return nullptr;
}
} // namespace

TEST(InfoWindow, CreditsScrollOkEnterAndAddress) {
    TInfoForm info;
    const QStringList credits = info.TextPanel1->Items();
    ASSERT_EQ(credits.size(), 12);
    EXPECT_EQ(credits.first(), "Vorlax");
    EXPECT_EQ(credits.at(3), kMakerAddress);
    EXPECT_EQ(credits.at(5), "Logo von:");
    for (int i = 7; i < 12; ++i)
        EXPECT_TRUE(credits.at(i).isEmpty()) << i;
    EXPECT_EQ(info.Image1->pixmap().size(), QSize(300, 115));
    EXPECT_EQ(info.Label2->text(), kMakerAddress);

    info.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&info));
    const auto moved = [&, start = info.TextPanel1->ScrollOffset()] {
        return info.TextPanel1->ScrollOffset() != start || info.TextPanel1->TopIndex() != 0;
    };
    EXPECT_TRUE(waitUntil(moved));
    QTest::mouseClick(info.BitBtn1, Qt::LeftButton);
    EXPECT_FALSE(info.isVisible());
    info.show();
    QTest::keyClick(&info, Qt::Key_Return);
    EXPECT_FALSE(info.isVisible());

    QList<QUrl> opened;
    info.openUrl = [&](const QUrl& url) { opened << url; };
    info.show();
    QTest::mouseClick(info.Label2, Qt::LeftButton);
    EXPECT_EQ(opened, QList<QUrl>{QUrl(kMakerAddress)});
    EXPECT_TRUE(info.isVisible());
}

TEST(InfoWindow, OpenedTwiceIsOneWindowAboveTheMainWindowAndChooserClosedWithoutOkStillAnswers) {
    const auto [local, remote] = freePortSets();
    auto copy = makeCopy(local, remote, "Ida"); // leaves a settings file: no first-run help
    QTemporaryDir picked;
    ProgramWindows windows = createProgramWindows(copy->folder.path());
    windows.Form1->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(windows.Form1.get()));
    windows.Form1->info1->trigger();
    windows.Form1->info1->trigger();
    int shown = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        shown += qobject_cast<TInfoForm*>(w) && w->isVisible();
    EXPECT_EQ(shown, 1);
    // The other windows belong to the main window, so the desktop never puts them behind it.
    QWindow* mainWindow = windows.Form1->windowHandle();
    EXPECT_EQ(windows.InfoForm->windowHandle()->transientParent(), mainWindow);
    windows.Form1->Help1->trigger();
    EXPECT_EQ(windows.Form3->windowHandle()->transientParent(), mainWindow);
    windows.Form3->hide();

    auto* model = qobject_cast<QFileSystemModel*>(windows.Form2->ShellTreeView1->model());
    ASSERT_NE(model, nullptr);
    windows.Form2->ShellTreeView1->setCurrentIndex(model->index(picked.path()));
    ASSERT_EQ(windows.Form2->selectedFolder(), picked.path());
    // The chooser is closed by its window's close control rather than by OK.
    QTimer closer;
    QWindow* chooserOwner = nullptr;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (windows.Form2->isVisible()) {
            chooserOwner = windows.Form2->windowHandle()->transientParent();
            windows.Form2->close();
        }
    });
    closer.start(5);
    QTest::mouseClick(windows.Form1->SpeedButton1, Qt::LeftButton);
    closer.stop();
    EXPECT_EQ(windows.Form1->Edit1->text(), picked.path() + "/");
    EXPECT_FALSE(windows.Form2->isVisible());
    EXPECT_EQ(chooserOwner, mainWindow);
}

TEST(FolderButtons, FoldersGetASlashAndTheTradeListIsRefreshedAndSentOnlyWhenConnected) {
    StandInPeer peer;
    auto [local, remote] = freePortSets();
    auto copy = makeCopy(local, peer.aimedAt(remote), "Jo");
    RecordingListener& trade = peer.trade;
    TForm1& form = *copy->form;
    QTemporaryDir saveDir, tradeDir;
    touch(tradeDir.path() + "/first.txt");
    QString answer;
    FormDialogs dialogs;
    dialogs.showError = [&](const QString& text) { copy->errors << text; };
    dialogs.chooseFolder = [&] { return answer; };
    form.setDialogs(dialogs);

    answer = saveDir.path();
    QTest::mouseClick(form.SpeedButton1, Qt::LeftButton);
    EXPECT_EQ(form.Edit1->text(), saveDir.path() + "/");
    answer.clear(); // nothing selected: a lone separator, unchecked
    QTest::mouseClick(form.SpeedButton1, Qt::LeftButton);
    EXPECT_EQ(form.Edit1->text(), "/");

    // Not connected: the list is refreshed, nothing goes out.
    answer = tradeDir.path();
    QTest::mouseClick(form.SpeedButton2, Qt::LeftButton);
    EXPECT_EQ(form.Edit4->text(), tradeDir.path() + "/");
    ASSERT_EQ(form.ListView2->topLevelItemCount(), 1);
    EXPECT_EQ(form.ListView2->topLevelItem(0)->text(0), "first.txt");

    // Connecting sends the list once; that is the first message the peer sees.
    goOnline(form);
    connectTo(form, "127.0.0.1");
    ASSERT_TRUE(waitUntil([&] { return trade.received().size() == 1; }));
    EXPECT_EQ(trade.received().first().size(), 1 + 3);

    // Connected: a new choice sends the new list.
    touch(tradeDir.path() + "/second.txt");
    QTest::mouseClick(form.SpeedButton2, Qt::LeftButton);
    EXPECT_EQ(form.ListView2->topLevelItemCount(), 2);
    ASSERT_TRUE(waitUntil([&] { return trade.received().size() == 2; }));
    const QList<QByteArray> sent = trade.received().at(1);
    ASSERT_EQ(sent.size(), 1 + 2 * 3);
    EXPECT_TRUE(sent.contains("second.txt"));
    // The stand-in peer has no download listener, so the download socket's refused connection
    // may be reported at any time; no other error is.
    QStringList others = copy->errors;
    others.removeIf([](const QString& e) { return e.startsWith(QStringLiteral("Socket-Fehler")); });
    EXPECT_TRUE(others.isEmpty()) << others.join('|').toStdString();
}

TEST(Accessibility, WindowsAreFoundByRoleAndCaptionAndNamesFollowCaptions) {
    const auto [local, remote] = freePortSets();
    auto copy = makeCopy(local, remote, "Ida");
    ProgramWindows windows = createProgramWindows(copy->folder.path());
    TForm1& form = *windows.Form1;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));

    QAccessibleInterface* main = accessible(&form);
    EXPECT_EQ(main->role(), QAccessible::Window);
    EXPECT_EQ(main->text(QAccessible::Name), "Vorlax");
    const std::pair<QWidget*, QString> dialogs[] = {
        {windows.Form2.get(), "Choose a folder please:"},
        {windows.InfoForm.get(), "Info"},
        {windows.Form3.get(), "Help"}};
    for (const auto& [window, caption] : dialogs) {
        EXPECT_EQ(window->windowTitle(), caption);
        EXPECT_EQ(accessible(window)->role(), QAccessible::Dialog) << caption.toStdString();
        EXPECT_EQ(accessible(window)->text(QAccessible::Name), caption);
    }

    // Fields keep the name of their label; every button and field has a name.
    EXPECT_EQ(accessible(form.Edit6)->text(QAccessible::Name), "Local Chat Server");
    EXPECT_EQ(accessible(form.Edit14)->text(QAccessible::Name), "Remote Download Server");
    EXPECT_EQ(accessible(form.Edit2)->text(QAccessible::Name), "IP:");
    for (QWidget* w : form.findChildren<QWidget*>()) {
        const bool control = qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w);
        if (control && w->isVisibleTo(&form)) {
            EXPECT_FALSE(accessible(w)->text(QAccessible::Name).isEmpty())
                << w->objectName().toStdString();
        }
    }

    // The online button is found in the window's tree under its present caption.
    ASSERT_NE(findAccessible(main, QAccessible::Button, "Offline"), nullptr);
    goOnline(form);
    ASSERT_EQ(form.BitBtn18->text(), "Online");
    QAccessibleInterface* online = findAccessible(main, QAccessible::Button, "Online");
    ASSERT_NE(online, nullptr);
    EXPECT_EQ(online->object(), form.BitBtn18);
    EXPECT_EQ(findAccessible(main, QAccessible::Button, "Offline"), nullptr);
}
