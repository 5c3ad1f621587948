#include "app/Settings.h"
#include "common/LineFile.h"
#include "common/ProgramError.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

// What applying a settings file did, in order.
struct Applied {
    std::array<QString, kSettingsFieldCount> fields;
    std::vector<int> fieldOrder;
    std::vector<std::pair<GeometryValue, int>> geometry;
    QString error;
};

Applied apply(const QStringList& lines) {
    Applied a;
    try {
        applySettingsLines(
            lines,
            [&](int i, const QString& text) {
                a.fields.at(i) = text;
                a.fieldOrder.push_back(i);
            },
            [&](GeometryValue g, int v) { a.geometry.emplace_back(g, v); });
    } catch (const ProgramError& e) {
        a.error = e.message();
    }
    return a;
}

QStringList numberedLines(int count) {
    QStringList lines;
    for (int i = 1; i <= count; ++i)
        lines.append(QString::number(i * 10));
    return lines;
}

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

using Geo = std::vector<std::pair<GeometryValue, int>>;

} // namespace

TEST(Settings, RoundTripThroughTheFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    std::array<QString, kSettingsFieldCount> fields;
    for (int i = 0; i < kSettingsFieldCount; ++i)
        fields[i] = kSettingsDefaults[i];
    fields[0] = "/home/ä/save/";
    fields[2] = ""; // an empty nickname stays empty
    fields[13] = "";
    fields[6] = "9000";
    const QString path = dir.filePath(kSettingsFileName);
    writeLineFile(path, settingsLines(fields, 1024, 700, -5, 2000));

    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    EXPECT_EQ(bytes.count("\r\n"), kSettingsLineCount);
    EXPECT_TRUE(bytes.startsWith("/home/\xE4/save/\r\nc:\\\r\n\r\n484\r\n"));
    EXPECT_TRUE(bytes.endsWith("\r\n1024\r\n700\r\n-5\r\n2000\r\n"));

    const Applied a = apply(readLineFile(path));
    EXPECT_TRUE(a.error.isEmpty()) << a.error.toStdString();
    EXPECT_EQ(a.fields, fields);
    EXPECT_EQ(a.fieldOrder.size(), size_t(kSettingsFieldCount));
    EXPECT_EQ(a.geometry, (Geo{{GeometryValue::Width, 1024},
                               {GeometryValue::Height, 700},
                               {GeometryValue::Top, -5},
                               {GeometryValue::Left, 2000}}));
}

TEST(Settings, ExtraLinesIgnoredMissingLinesReported) {
    const Applied thirty = apply(numberedLines(30));
    EXPECT_TRUE(thirty.error.isEmpty());
    EXPECT_EQ(thirty.fields[17], "180");
    ASSERT_EQ(thirty.geometry.size(), 4u);
    EXPECT_EQ(thirty.geometry[3], std::make_pair(GeometryValue::Left, 220));

    const Applied eighteen = apply(numberedLines(18));
    EXPECT_EQ(eighteen.error, "Listenindex überschreitet das Maximum (18)");
    EXPECT_EQ(eighteen.fieldOrder.size(), 18u);
    EXPECT_EQ(eighteen.fields[0], "10");
    EXPECT_EQ(eighteen.fields[17], "180");
    EXPECT_TRUE(eighteen.geometry.empty());

    const Applied twenty = apply(numberedLines(20));
    EXPECT_EQ(twenty.error, "Listenindex überschreitet das Maximum (20)");
    EXPECT_EQ(twenty.geometry.size(), 2u);

    const Applied five = apply(numberedLines(5));
    EXPECT_EQ(five.error, "Listenindex überschreitet das Maximum (5)");
    EXPECT_EQ(five.fieldOrder, (std::vector<int>{0, 1, 2, 3, 4}));

    EXPECT_EQ(apply({}).error, "Listenindex überschreitet das Maximum (0)");
}

TEST(Settings, BadGeometryStopsWithTheConversionError) {
    QStringList lines = numberedLines(22);
    lines[20] = "12px";
    const Applied bad = apply(lines);
    EXPECT_EQ(bad.error, "'12px' ist kein gültiger Integerwert");
    EXPECT_EQ(bad.geometry, (Geo{{GeometryValue::Width, 190}, {GeometryValue::Height, 200}}));
    EXPECT_EQ(bad.fields[17], "180");

    lines = numberedLines(22);
    lines[18] = "";
    const Applied empty = apply(lines);
    EXPECT_EQ(empty.error, "'' ist kein gültiger Integerwert");
    EXPECT_TRUE(empty.geometry.empty());
    EXPECT_EQ(empty.fieldOrder.size(), 18u);
}

TEST(Settings, ReadsLfCrAndNulTerminatedFiles) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(kSettingsFileName);
    const QStringList expected = numberedLines(22);
    for (const char* end : {"\n", "\r"}) {
        writeBytes(path, expected.join(end).toLatin1() + end);
        const Applied a = apply(readLineFile(path));
        EXPECT_TRUE(a.error.isEmpty()) << a.error.toStdString();
        EXPECT_EQ(a.fields[5], "60");
        EXPECT_EQ(a.geometry.size(), 4u);
    }
    // A zero byte ends the text: only 19 lines remain.
    QByteArray withNul = expected.join("\r\n").toLatin1();
    withNul.insert(withNul.indexOf("200"), '\0');
    writeBytes(path, withNul);
    const Applied cut = apply(readLineFile(path));
    EXPECT_EQ(cut.error, "Listenindex überschreitet das Maximum (19)");
    EXPECT_EQ(cut.geometry, (Geo{{GeometryValue::Width, 190}}));
}

TEST(Settings, FieldTablesAndSwitchPorts) {
    EXPECT_STREQ(kSettingsFieldNames[13], "Edit9");
    EXPECT_STREQ(kSettingsDefaults[13], "2000");
    EXPECT_STREQ(kSettingsDefaults[2], "Vorlax-User");

    const auto ticked = switchPortsValues(true);
    const auto unticked = switchPortsValues(false);
    const char* order[] = {"Edit6",  "Edit7",  "Edit8",  "Edit10", "Edit11", "Edit12", "Edit13",
                           "Edit14", "Edit16", "Edit17", "Edit15", "Edit18", "Edit19", "Edit20"};
    const char* tickedTexts[] = {"484", "483", "400", "488", "487", "483", "484",
                                 "500", "487", "488", "501", "502", "501", "502"};
    for (int i = 0; i < kSwitchPortsFieldCount; ++i) {
        EXPECT_STREQ(ticked[i].field, order[i]);
        EXPECT_STREQ(unticked[i].field, order[i]);
        EXPECT_STREQ(ticked[i].text, tickedTexts[i]) << order[i];
        if (i != 2 && i != 7) {
            EXPECT_STREQ(unticked[i].text, tickedTexts[i]) << order[i];
        }
    }
    EXPECT_STREQ(unticked[2].text, "500"); // local download server
    EXPECT_STREQ(unticked[7].text, "400"); // remote download server
}
