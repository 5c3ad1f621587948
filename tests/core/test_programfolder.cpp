#include "common/ProgramFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

TEST(ProgramFolder, AnInstalledCopyUsesTheConfigFolderAnyOtherItsOwn) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(root.path() + "/config"));
    // A tree as the install rules make it, into a prefix this user may write (~/.local, say).
    const QString prefix = root.path() + "/prefix";
    ASSERT_TRUE(QDir().mkpath(prefix + "/bin"));
    ASSERT_TRUE(QDir().mkpath(prefix + "/share/applications"));
    QFile entry(prefix + "/share/applications/io.github.vorlax.Vorlax.desktop");
    ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
    entry.close();
    EXPECT_EQ(textFilesFolder(prefix + "/bin"), root.path() + "/config/Vorlax/");
    EXPECT_TRUE(QFileInfo(root.path() + "/config/Vorlax").isDir());

    // A build folder or a demo copy's folder: beside the program.
    ASSERT_TRUE(QDir().mkpath(root.path() + "/build"));
    EXPECT_EQ(textFilesFolder(root.path() + "/build"), root.path() + "/build/");
}
