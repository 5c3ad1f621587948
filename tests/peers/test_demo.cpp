// The demo's preparation: two fresh folders under the cache folder whose settings make two copies
// that, after going online and picking the remembered address, connect to each other and see each
// other's sample files.

#include "support/TwoCopies.h"

#include "app/Settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

namespace {
QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Runs the preparation with the cache folder inside `home`; returns the two folders it reports.
QStringList prepareDemo(const QTemporaryDir& home, const QString& program) {
    QProcess prepare;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CACHE_HOME", home.path() + "/cache");
    // Ports apart from other runs of this test on the same machine; the layout stays the script's.
    const int offset = 20000 + int(QCoreApplication::applicationPid() % 50) * 100;
    env.insert("VORLAX_DEMO_PORT_OFFSETS", QString("%1 %2").arg(offset).arg(offset + 5000));
    prepare.setProcessEnvironment(env);
    prepare.start("bash", {VORLAX_SOURCE_DIR "/scripts/demo-prepare.sh", program});
    EXPECT_TRUE(prepare.waitForFinished(60000));
    EXPECT_EQ(prepare.exitCode(), 0) << prepare.readAllStandardError().toStdString();
    return QString::fromLocal8Bit(prepare.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

std::unique_ptr<TForm1> startIn(const QString& folder, QStringList& errors) {
    FormDialogs dialogs;
    dialogs.showError = [&errors](const QString& text) { errors << text; };
    dialogs.showMessage = [&errors](const QString& text) { errors << text; };
    auto form = std::make_unique<TForm1>(folder, dialogs);
    form->show();
    return form;
}

void pickRememberedAddress(TForm1& form) {
    ASSERT_EQ(form.ListBox1->count(), 1);
    QListWidgetItem* entry = form.ListBox1->item(0);
    QTest::mouseClick(form.ListBox1->viewport(), Qt::LeftButton, {},
                      form.ListBox1->visualItemRect(entry).center());
}

QStringList peerFiles(const TForm1& form) {
    QStringList names;
    for (int i = 0; i < form.ListView1->topLevelItemCount(); ++i)
        names << form.ListView1->topLevelItem(i)->text(0);
    return names;
}
} // namespace

TEST(Demo, PreparedFoldersGiveTwoCopiesThatTalk) {
    QTemporaryDir home;
    const QString program = home.path() + "/Vorlax";
    QFile(program).open(QIODevice::WriteOnly);
    const QStringList folders = prepareDemo(home, program);
    ASSERT_EQ(folders, QStringList({home.path() + "/cache/vorlax-demo/a",
                                    home.path() + "/cache/vorlax-demo/b"}));
    for (const QString& folder : folders) {
        EXPECT_TRUE(QFileInfo(folder + "/Vorlax").isExecutable());
        EXPECT_EQ(contents(folder + "/Connect.ini"), "127.0.0.1\r\n");
        EXPECT_EQ(contents(folder + "/Vorlax.ini").count("\r\n"), kSettingsLineCount);
        EXPECT_GE(QDir(folder + "/trade").entryList(QDir::Files).size(), 2);
    }

    QStringList errorsA, errorsB;
    auto a = startIn(folders[0], errorsA);
    auto b = startIn(folders[1], errorsB);
    EXPECT_EQ(a->Edit4->text(), folders[0] + "/trade/");
    EXPECT_EQ(b->Edit1->text(), folders[1] + "/save/");
    // Each sends files where the other listens for them, and no port needs privileges.
    EXPECT_EQ(a->Edit14->text(), b->Edit8->text());
    EXPECT_EQ(b->Edit14->text(), a->Edit8->text());
    for (QLineEdit* port :
         {a->Edit6, a->Edit8, a->Edit10, a->Edit15, b->Edit6, b->Edit8, b->Edit10, b->Edit15})
        EXPECT_GT(port->text().toInt(), 1023);

    // The newcomer's clicks: Offline on both copies, then on each the remembered address and
    // Connect.
    goOnline(*a);
    goOnline(*b);
    for (TForm1* form : {a.get(), b.get()}) {
        pickRememberedAddress(*form);
        EXPECT_EQ(form->Edit2->text(), "127.0.0.1");
        clickAndSettle(*form, form->BitBtn16);
    }
    EXPECT_EQ(a->statusIconIndex, 2);
    EXPECT_EQ(b->statusIconIndex, 2);
    EXPECT_TRUE(waitUntil([&] { return peerFiles(*a).contains("hello-from-b.txt"); }));
    EXPECT_TRUE(waitUntil([&] { return peerFiles(*b).contains("hello-from-a.txt"); }));
    EXPECT_TRUE(errorsA.isEmpty()) << errorsA.join('\n').toStdString();
    EXPECT_TRUE(errorsB.isEmpty()) << errorsB.join('\n').toStdString();
    a.reset();
    b.reset();

    // A second run starts afresh: what the last run left behind is gone.
    QFile(folders[0] + "/save/left-over.txt").open(QIODevice::WriteOnly);
    prepareDemo(home, program);
    EXPECT_FALSE(QFileInfo::exists(folders[0] + "/save/left-over.txt"));
}
