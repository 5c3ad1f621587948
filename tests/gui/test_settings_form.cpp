// "Vorlax.ini" through the main window: the Options fields and the window geometry written at close
// and restored at the next start, short, long and odd files, and the "Switch Ports" check box.

#include "support/TwoCopies.h"

#include "app/Settings.h"
#include "common/AnsiText.h"
#include "common/LineFile.h"

#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

namespace {
// The fields in file order, by name, so the test does not lean on the window's own list.
std::array<QLineEdit*, kSettingsFieldCount> fieldsOf(const TForm1& f) {
    return {f.Edit1,  f.Edit4,  f.Edit5,  f.Edit6,  f.Edit7,  f.Edit8,
            f.Edit10, f.Edit11, f.Edit12, f.Edit13, f.Edit14, f.Edit16,
            f.Edit17, f.Edit9,  f.Edit15, f.Edit18, f.Edit19, f.Edit20};
}

QStringList fieldTexts(const TForm1& f) {
    QStringList texts;
    for (QLineEdit* field : fieldsOf(f))
        texts << field->text();
    return texts;
}

// Eighteen distinct field values, with an empty nickname and an empty last port field.
QStringList customFields() {
    return {QStringLiteral("/home/anna/Empfang €/"),
            QStringLiteral("/srv/trade/Обмен/"),
            QString(),
            "1484",
            "1483",
            "1400",
            "1488",
            "1487",
            "2483",
            "2484",
            "2500",
            "2487",
            "2488",
            "750",
            "1501",
            "1502",
            "2501",
            QString()};
}

QStringList defaultFieldsWith(const QString& saveFolder, const QString& tradeFolder) {
    QStringList fields;
    for (const char* text : kSettingsDefaults)
        fields << QString::fromUtf8(text);
    fields[0] = saveFolder;
    fields[1] = tradeFolder;
    return fields;
}

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

QByteArray readBytes(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return file.readAll();
}

QByteArray crlfFile(const QStringList& lines) {
    QByteArray bytes;
    for (const QString& line : lines)
        bytes += ansi::encode(line) + "\r\n"; // as the program writes its files
    return bytes;
}

QString iniPath(const Copy& copy) {
    return copy.folder.path() + "/Vorlax.ini";
}

void clickSwitchPorts(TForm1& f) {
    f.PageControl1->setCurrentWidget(f.TabSheet1);
    ASSERT_TRUE(f.CheckBox1->isVisible());
    QTest::mouseClick(f.CheckBox1, Qt::LeftButton, {}, QPoint(6, f.CheckBox1->height() / 2));
}
} // namespace

TEST(SettingsForm, FieldsAndGeometryRoundTripThroughTheFile) {
    Copy copy;
    startForm(copy);
    TForm1& f = *copy.form;
    const QStringList fields = customFields();
    for (int i = 0; i < kSettingsFieldCount; ++i)
        fieldsOf(f)[i]->setText(fields[i]);
    f.resize(QSize(900, 520) - (f.frameGeometry().size() - f.size())); // outer 900 x 520
    f.move(40, 30);
    ASSERT_EQ(f.frameGeometry().size(), QSize(900, 520));
    ASSERT_EQ(f.pos(), QPoint(40, 30));
    f.close();
    EXPECT_FALSE(f.isVisible());

    // Exactly 22 CR LF lines; the euro sign is the windows-1252 byte, the Cyrillic folder UTF-8.
    const QByteArray bytes = readBytes(iniPath(copy));
    QByteArray want = QByteArrayLiteral("/home/anna/Empfang \x80/\r\n") +
                      QStringLiteral("/srv/trade/Обмен/\r\n").toUtf8() + "\r\n";
    for (int i = 3; i < kSettingsFieldCount; ++i)
        want += fields[i].toLatin1() + "\r\n";
    want += "900\r\n520\r\n30\r\n40\r\n";
    EXPECT_EQ(bytes, want);

    copy.form.reset();
    copy.messages.clear();
    startForm(copy);
    TForm1& g = *copy.form;
    EXPECT_TRUE(copy.messages.isEmpty()); // not a first run any more
    EXPECT_TRUE(copy.errors.isEmpty());
    EXPECT_EQ(fieldTexts(g), fields);
    EXPECT_TRUE(g.Edit5->text().isEmpty());
    EXPECT_EQ(g.frameGeometry().size(), QSize(900, 520));
    EXPECT_EQ(g.pos(), QPoint(40, 30));

    // Written again untouched, the file is the same byte for byte.
    g.close();
    EXPECT_EQ(readBytes(iniPath(copy)), want);
}

TEST(SettingsForm, ShortLongAndLfOnlyFiles) {
    Copy copy;
    const QStringList fields = customFields();

    // Eighteen lines: every field, the default geometry, and the missing line 19 reported.
    writeBytes(iniPath(copy), crlfFile(fields));
    startForm(copy);
    EXPECT_EQ(copy.errors, QStringList{"Listenindex überschreitet das Maximum (18)."});
    EXPECT_EQ(fieldTexts(*copy.form), fields);
    EXPECT_EQ(copy.form->frameGeometry().size(), QSize(kDefaultWindowWidth, kDefaultWindowHeight));
    EXPECT_EQ(copy.form->pos(), QPoint(kDefaultWindowLeft, kDefaultWindowTop));
    copy.form.reset();

    // Twenty lines: width and height applied, the missing top reported, position default.
    copy.errors.clear();
    writeBytes(iniPath(copy), crlfFile(fields + QStringList{"850", "480"}));
    startForm(copy);
    EXPECT_EQ(copy.errors, QStringList{"Listenindex überschreitet das Maximum (20)."});
    EXPECT_EQ(copy.form->frameGeometry().size(), QSize(850, 480));
    EXPECT_EQ(copy.form->pos(), QPoint(kDefaultWindowLeft, kDefaultWindowTop));
    copy.form.reset();

    // Thirty lines: the eight after the 22nd are ignored, whatever they hold.
    copy.errors.clear();
    // A negative position (a window pushed past the screen's edge) is kept as it stands.
    const QStringList longFile =
        fields +
        QStringList{"870", "540", "-6", "-8", "abc", "", "-1", "Vorlax-User", "x", "y", "z", "999"};
    writeBytes(iniPath(copy), crlfFile(longFile));
    startForm(copy);
    EXPECT_TRUE(copy.errors.isEmpty());
    EXPECT_EQ(fieldTexts(*copy.form), fields);
    EXPECT_EQ(copy.form->frameGeometry().size(), QSize(870, 540));
    EXPECT_EQ(copy.form->pos(), QPoint(-8, -6));
    copy.form->close();
    EXPECT_EQ(readLineFile(iniPath(copy)), longFile.mid(0, kSettingsLineCount));
    copy.form.reset();

    // LF only: read like CR LF, written back with CR LF.
    const QStringList lfLines = defaultFieldsWith(copy.saveFolder(), copy.tradeFolder()) +
                                QStringList{"880", "550", "45", "55"};
    writeBytes(iniPath(copy), lfLines.join('\n').toUtf8() + "\n");
    startForm(copy);
    EXPECT_TRUE(copy.errors.isEmpty());
    EXPECT_EQ(fieldTexts(*copy.form), lfLines.mid(0, kSettingsFieldCount));
    EXPECT_EQ(copy.form->frameGeometry().size(), QSize(880, 550));
    EXPECT_EQ(copy.form->pos(), QPoint(55, 45));
    copy.form->close();
    EXPECT_EQ(readBytes(iniPath(copy)), crlfFile(lfLines));
}

TEST(SettingsForm, GeometryLineThatIsNoNumberStopsReadingThere) {
    Copy copy;
    const QStringList fields = customFields();
    writeBytes(iniPath(copy), crlfFile(fields + QStringList{"820", "500", "abc", "70"}));
    startForm(copy);
    EXPECT_EQ(copy.errors, QStringList{"'abc' ist kein gültiger Integerwert."});
    EXPECT_EQ(fieldTexts(*copy.form), fields);
    EXPECT_EQ(copy.form->frameGeometry().size(), QSize(820, 500)); // applied before the bad line
    EXPECT_EQ(copy.form->pos(), QPoint(kDefaultWindowLeft, kDefaultWindowTop));
    copy.form.reset();

    // An empty geometry line is no number either; nothing after it is applied.
    copy.errors.clear();
    writeBytes(iniPath(copy), crlfFile(fields + QStringList{"", "500", "20", "70"}));
    startForm(copy);
    EXPECT_EQ(copy.errors, QStringList{"'' ist kein gültiger Integerwert."});
    EXPECT_EQ(copy.form->frameGeometry().size(), QSize(kDefaultWindowWidth, kDefaultWindowHeight));
    EXPECT_EQ(copy.form->pos(), QPoint(kDefaultWindowLeft, kDefaultWindowTop));
    // The window is usable and writes a complete file at close.
    copy.form->close();
    const QStringList defaultGeometry = {
        QString::number(kDefaultWindowWidth), QString::number(kDefaultWindowHeight),
        QString::number(kDefaultWindowTop), QString::number(kDefaultWindowLeft)};
    EXPECT_EQ(readLineFile(iniPath(copy)), fields + defaultGeometry);
}

TEST(SettingsForm, SwitchPortsWritesTheFixedSetsAndLeavesTheRestAlone) {
    Copy copy;
    const QStringList fields = customFields();
    writeBytes(iniPath(copy), crlfFile(fields + QStringList{"811", "659", "89", "132"}));
    startForm(copy);
    TForm1& f = *copy.form;
    ASSERT_TRUE(copy.errors.isEmpty());
    f.Edit5->setText("Nick");
    f.Edit10->setText("9000");
    ASSERT_FALSE(f.CheckBox1->isChecked());

    const QStringList ticked = {"484", "483", "400",  "488", "487", "483", "484", "500",
                                "487", "488", "2000", "501", "502", "501", "502"};
    // First click ticks the box: the defaults.
    clickSwitchPorts(f);
    ASSERT_TRUE(f.CheckBox1->isChecked());
    QStringList want = QStringList{fields[0], fields[1], "Nick"} + ticked;
    want[13] = fields[13]; // the delay is not a port
    EXPECT_EQ(fieldTexts(f), want);

    // Second click unticks it: the download pair exchanged.
    f.Edit12->setText("1");
    clickSwitchPorts(f);
    ASSERT_FALSE(f.CheckBox1->isChecked());
    want[5] = "500";  // local download server
    want[10] = "400"; // remote download server
    EXPECT_EQ(fieldTexts(f), want);
    EXPECT_EQ(f.Edit8->text(), "500");
    EXPECT_EQ(f.Edit14->text(), "400");

    // And back again.
    clickSwitchPorts(f);
    EXPECT_EQ(f.Edit8->text(), "400");
    EXPECT_EQ(f.Edit14->text(), "500");
    EXPECT_EQ(f.Edit9->text(), "750");
    EXPECT_TRUE(copy.errors.isEmpty());

    // Its state is not kept: the next start begins unticked, with the fields as written at close.
    f.close();
    copy.form.reset();
    startForm(copy);
    EXPECT_FALSE(copy.form->CheckBox1->isChecked());
    EXPECT_EQ(copy.form->Edit8->text(), "400");
    EXPECT_EQ(copy.form->Edit5->text(), "Nick");
}

TEST(SettingsForm, SettingsFileThatCannotBeWrittenIsReportedAndTheWindowCloses) {
    Copy copy;
    startForm(copy);
    TForm1& f = *copy.form;
    copy.messages.clear();
    ASSERT_TRUE(QDir(copy.folder.path()).mkdir("Vorlax.ini"));
    QSignalSpy closed(&f, &TForm1::formClosed);
    f.close();
    ASSERT_EQ(copy.errors.size(), 1);
    EXPECT_TRUE(copy.errors[0].contains("Vorlax.ini")) << copy.errors[0].toStdString();
    EXPECT_TRUE(copy.errors[0].endsWith('.'));
    EXPECT_EQ(closed.count(), 1);
    EXPECT_FALSE(f.isVisible());
    EXPECT_TRUE(QFileInfo(iniPath(copy)).isDir());
    copy.form.reset(); // destroying the closed window does not try again
    EXPECT_EQ(copy.errors.size(), 1);
}

TEST(SettingsForm, OuterSizeIsKeptAndFoldersWithLineBreaksAreRefused) {
    Copy copy;
    const QStringList fields = defaultFieldsWith(copy.saveFolder(), copy.tradeFolder());
    writeBytes(iniPath(copy), crlfFile(fields + QStringList{"800", "600", "30", "40"}));
    startForm(copy);
    TForm1& f = *copy.form;
    // Lines 19 and 20 are the outer size, frame included, once the window has its frame.
    ASSERT_TRUE(waitUntil([&] { return f.frameGeometry().size() == QSize(800, 600); }));
    ASSERT_NE(f.size(), f.frameGeometry().size()) << "the platform gives the window no frame";

    // A folder whose name holds a line break is refused with a word why, chosen or pasted.
    copy.messages.clear();
    const QString before = f.Edit1->text();
    FormDialogs dialogs;
    dialogs.showError = [&](const QString& text) { copy.errors << text; };
    dialogs.showMessage = [&](const QString& text) { copy.messages << text; };
    dialogs.chooseFolder = [] { return QStringLiteral("/tmp/two\nlines"); };
    f.setDialogs(dialogs);
    QTest::mouseClick(f.SpeedButton1, Qt::LeftButton);
    EXPECT_EQ(f.Edit1->text(), before);
    EXPECT_EQ(copy.messages, QStringList{kFolderLineBreakMessage});
    QGuiApplication::clipboard()->setText(QStringLiteral("a\nb"));
    f.Edit4->selectAll();
    f.Edit4->paste();
    EXPECT_TRUE(waitUntil([&] { return copy.messages.size() == 2; }));
    EXPECT_EQ(f.Edit4->text(), copy.tradeFolder());

    // Written back: the outer size again.
    f.resize(900, 640);
    ASSERT_TRUE(waitUntil([&] { return f.size() == QSize(900, 640); }));
    f.writeSettingsFile();
    const QStringList lines = readLineFile(iniPath(copy));
    EXPECT_EQ(lines.mid(kSettingsFieldCount, 2),
              (QStringList{QString::number(f.frameGeometry().width()),
                           QString::number(f.frameGeometry().height())}));

    // A line break that got into a setting anyway leaves the file as it was.
    const QByteArray file = readBytes(iniPath(copy));
    f.Edit5->setText(QStringLiteral("Nick\r\nname"));
    f.close();
    EXPECT_EQ(copy.errors, QStringList{kSettingLineBreakMessage});
    EXPECT_EQ(readBytes(iniPath(copy)), file);
}
