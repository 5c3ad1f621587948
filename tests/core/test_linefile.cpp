#include "common/LineFile.h"
#include "common/ProgramError.h"

#include <QFile>
#include <QFileDevice>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "support/TestFiles.h"

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

TEST(LineFile, SplitsOnEveryKindOfLineEnd) {
    using L = QStringList;
    EXPECT_EQ(splitLines(""), L());
    EXPECT_EQ(splitLines("\r\n"), L({""}));
    EXPECT_EQ(splitLines("a"), L({"a"}));
    EXPECT_EQ(splitLines("a\r\nb\r\n"), L({"a", "b"}));
    EXPECT_EQ(splitLines("a\nb\rc\r\nd"), L({"a", "b", "c", "d"}));
    EXPECT_EQ(splitLines("a\r\n\r\n\nb\r\r"), L({"a", "", "", "b", ""}));
    EXPECT_EQ(splitLines("a\n\rb"), L({"a", "", "b"})); // LF CR is two line ends
    EXPECT_EQ(splitLines(QByteArray("a\r\nb\0c\r\nd", 9)), L({"a", "b"}));
    EXPECT_EQ(splitLines(QByteArray("a\r\0\nb", 5)), L({"a"}));
    EXPECT_EQ(splitLines(QByteArray("\0a\r\n", 4)), L());
    // Each line is decoded on its own: UTF-8 on one line, windows-1252 on the next.
    QByteArray mixed = QStringLiteral("Ж\r\n").toUtf8();
    mixed += "\xA7\r\n";
    EXPECT_EQ(splitLines(mixed), L({"Ж", "§"}));
}

TEST(LineFile, WritesCrLfAndReadsBack) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("lines.txt");
    const QStringList lines = {"first", "", "§ und €", "Файл", ""};
    writeLineFile(path, lines);
    QByteArray expected = "first\r\n\r\n\xA7 und \x80\r\n";
    expected += QStringLiteral("Файл").toUtf8() + "\r\n\r\n";
    EXPECT_EQ(readAll(path), expected);
    EXPECT_EQ(readLineFile(path), lines);

    // Writing again replaces the whole file.
    writeLineFile(path, {"x"});
    EXPECT_EQ(readAll(path), QByteArray("x\r\n"));
    writeLineFile(path, {});
    EXPECT_EQ(readAll(path), QByteArray());
    EXPECT_EQ(QFileInfo(path).size(), 0);
}

TEST(LineFile, ReportsFilesThatCannotBeOpenedOrCreated) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString missing = dir.filePath("missing.txt");
    try {
        readLineFile(missing);
        FAIL() << "no error for a missing file";
    } catch (const ProgramError& e) {
        EXPECT_TRUE(
            e.message().startsWith("Datei \"" + missing + "\" kann nicht geöffnet werden. "))
            << e.message().toStdString();
    }
    // A folder in the way of the file: it cannot be read as one, nor replaced.
    EXPECT_THROW(readLineFile(dir.path()), ProgramError);
    const QString blocked = dir.filePath("sub/file.txt");
    try {
        writeLineFile(blocked, {"a"});
        FAIL() << "no error for a file in a missing folder";
    } catch (const ProgramError& e) {
        EXPECT_TRUE(
            e.message().startsWith("Datei \"" + blocked + "\" kann nicht erstellt werden. "))
            << e.message().toStdString();
    }
    EXPECT_THROW(writeLineFile(dir.path(), {"a"}), ProgramError);
}

TEST(LineFile, FailedWriteLeavesTheOldFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("keep.txt");
    writeBytes(path, "old\r\n");
    // A write-protected file is not replaced.
    ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadUser));
    EXPECT_THROW(writeLineFile(path, {"new"}), ProgramError);
    EXPECT_EQ(readAll(path), QByteArray("old\r\n"));
    ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    writeLineFile(path, {"new"});
    EXPECT_EQ(readAll(path), QByteArray("new\r\n"));
}
