// Start-up and close of the main window: first run, later run, the window's controls, close order.

#include "support/TwoCopies.h"

#include "app/Settings.h"
#include "common/LineFile.h"
#include "net/PeerList.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

namespace {
const QString kFirewallHint = QStringLiteral(
    "If you want to use Vorlax, please deactivate the Windows-Firewall. (Properties of your "
    "Internet-connection, More Options, deactivate firewall)");
}

TEST(Startup, FirstRunShowsHintKeepsDefaultsAndWritesSettingsAtClose) {
    Copy copy;
    startForm(copy);
    TForm1& f = *copy.form;
    EXPECT_EQ(copy.messages, QStringList{kFirewallHint});
    EXPECT_TRUE(copy.errors.isEmpty());
    EXPECT_EQ(f.windowTitle(), "Vorlax");
    EXPECT_EQ(f.pos(), QPoint(132, 89));
    EXPECT_EQ(f.frameGeometry().size(), QSize(811, 659));
    EXPECT_EQ(f.Edit5->text(), "Vorlax-User");
    EXPECT_EQ(f.Edit6->text(), "484");
    EXPECT_EQ(f.Edit8->text(), "400");
    EXPECT_EQ(f.Edit14->text(), "500");
    EXPECT_EQ(f.Edit9->text(), "2000");
    EXPECT_TRUE(f.Edit1->text().endsWith('/'));
    // Offline state at the end of start-up.
    EXPECT_EQ(f.BitBtn18->text(), "Offline");
    EXPECT_FALSE(f.BitBtn16->isEnabled());
    EXPECT_TRUE(f.BitBtn17->isEnabled());
    EXPECT_TRUE(f.BitBtn19->isEnabled());
    EXPECT_FALSE(f.BitBtn20->isEnabled());
    EXPECT_EQ(f.statusIconIndex, -1);
    EXPECT_FALSE(f.Timer2->isActive()); // the plot pump waits for something to send
    EXPECT_TRUE(f.Timer3->isActive());
    EXPECT_FALSE(f.Timer1->isActive());
    EXPECT_EQ(f.PageControl1->tabText(f.PageControl1->currentIndex()), "Images");
    EXPECT_EQ(f.PageControl2->tabText(f.PageControl2->currentIndex()), "Vorlax");
    EXPECT_EQ(f.Edit3->text(), "Chat here :-)");
    EXPECT_FALSE(QFile::exists(f.settingsPath()));

    f.close();
    ASSERT_TRUE(QFile::exists(f.settingsPath()));
    const QStringList lines = readLineFile(f.settingsPath());
    ASSERT_EQ(lines.size(), 22);
    EXPECT_EQ(lines[2], "Vorlax-User");
    EXPECT_EQ(lines.mid(18), (QStringList{"811", "659", "89", "132"}));

    // The next start finds the file: no hint, same values.
    copy.messages.clear();
    copy.form.reset();
    startForm(copy);
    EXPECT_TRUE(copy.messages.isEmpty());
    EXPECT_EQ(copy.form->frameGeometry().size(), QSize(811, 659));
}

TEST(Startup, BrokenFilesAreReportedAndTheWindowStaysUsable) {
    Copy copy;
    QFile peers(copy.folder.path() + "/Connect.ini");
    ASSERT_TRUE(peers.open(QIODevice::WriteOnly));
    peers.write("10.1.1.1\r\n\r\nhost-b\n");
    peers.close();
    // Eighteen lines: the fields are read, the geometry line is missing.
    QStringList lines;
    for (int i = 0; i < kSettingsFieldCount; ++i)
        lines << QString::fromUtf8(kSettingsDefaults[i]);
    lines[2] = "Zed";
    lines[1] = copy.tradeFolder();
    writeLineFile(copy.folder.path() + "/Vorlax.ini", lines);
    QFile offered(copy.tradeFolder() + "a.txt");
    QDir().mkpath(copy.tradeFolder());
    ASSERT_TRUE(offered.open(QIODevice::WriteOnly));
    offered.write("abc");
    offered.close();

    startForm(copy);
    TForm1& f = *copy.form;
    EXPECT_EQ(copy.errors, QStringList{"Listenindex überschreitet das Maximum (18)."});
    EXPECT_EQ(f.Edit5->text(), "Zed");
    EXPECT_EQ(f.frameGeometry().size(), QSize(811, 659));
    EXPECT_EQ(f.PeerList, (QStringList{"10.1.1.1", "", "host-b"}));
    ASSERT_EQ(f.ListBox1->count(), 3);
    EXPECT_EQ(f.ListBox1->item(2)->text(), "host-b");
    // The steps after the failing one still ran: the local list shows the trade folder.
    ASSERT_EQ(f.ListView2->topLevelItemCount(), 1);
    EXPECT_EQ(f.ListView2->topLevelItem(0)->text(0), "a.txt");
    EXPECT_EQ(f.ListView2->topLevelItem(0)->text(1), "txt");
    EXPECT_EQ(f.ListView2->topLevelItem(0)->text(2), "3");
}

TEST(Startup, ChatInputSpansItsPane) {
    Copy copy;
    startForm(copy);
    TForm1& f = *copy.form;
    f.resize(1000, 700);
    ASSERT_TRUE(waitUntil([&] { return f.Edit3->width() == f.Panel4->width(); }));
    f.resize(700, 600);
    ASSERT_TRUE(waitUntil([&] { return f.Edit3->width() == f.Panel4->width(); }));
}

TEST(Startup, ControlsCarryTheirNamesCaptionsAndSizes) {
    Copy copy;
    startForm(copy);
    TForm1& f = *copy.form;
    auto button = [&](const char* name) { return f.findChild<QPushButton*>(name); };
    const std::pair<const char*, const char*> captions[] = {{"BitBtn16", "Connect"},
                                                            {"BitBtn17", "Disconnect"},
                                                            {"BitBtn18", "Offline"},
                                                            {"BitBtn19", "Ask for download"},
                                                            {"BitBtn20", "Start download"},
                                                            {"Button6", "Clear Image"},
                                                            {"BitBtn1", "Save"},
                                                            {"BitBtn10", "Restore"},
                                                            {"BitBtn15", "Save to file"}};
    for (auto [name, caption] : captions) {
        ASSERT_NE(button(name), nullptr) << name;
        EXPECT_EQ(button(name)->text(), caption) << name;
    }
    EXPECT_EQ(button("BitBtn16")->width(), 97);
    EXPECT_EQ(button("BitBtn20")->width(), 137);
    EXPECT_EQ(f.Panel5->height(), 41);
    EXPECT_EQ(f.Panel3->height(), 120);
    EXPECT_EQ(f.StaticText1->size(), QSize(25, 22));
    EXPECT_EQ(f.slotViews[4]->objectName(), "Image7");
    EXPECT_EQ(f.slotViews[4]->geometry(), QRect(0, 480, 145, 89));
    EXPECT_EQ(button("BitBtn14")->geometry(), QRect(152, 440, 75, 25));
    for (const char* name : {"Panel1", "Panel2", "Panel7", "TabSheet4", "Splitter1", "ListBox1",
                             "ListView1", "ListView2", "Memo1", "Edit3", "StatusBar1", "Exit1"})
        EXPECT_NE(f.findChild<QObject*>(name), nullptr) << name;
    EXPECT_EQ(f.ListView1->headerItem()->text(0), "Filename");
    EXPECT_EQ(f.ListView2->headerItem()->text(0), "FileName");
    EXPECT_EQ(f.PageControl1->count(), 3);
    EXPECT_EQ(f.PageControl1->tabText(2), "Connected to");
    EXPECT_EQ(f.PageControl2->tabText(1), "File-Transfer");
    EXPECT_EQ(f.ImageList1.size(), 3);
    EXPECT_EQ(f.Timer2->interval(), 2);
    EXPECT_EQ(f.Timer3->interval(), 1500);
    EXPECT_EQ(f.Timer1->interval(), 3000);
}
