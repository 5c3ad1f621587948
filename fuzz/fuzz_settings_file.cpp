// The settings file "Vorlax.ini" as the program reads it: split into lines, applied in order. A
// file that applies is written back from what was applied and reads back the same.
#include "fuzz/FuzzCheck.h"

#include "app/Settings.h"
#include "common/LineFile.h"
#include "common/ProgramError.h"

#include <array>
#include <cstdint>

namespace {

struct Applied {
    std::array<QString, kSettingsFieldCount> fields;
    std::array<int, kSettingsGeometryCount> geometry{};
    int fieldCount = 0;
    int geometryCount = 0;
};

// Applies the lines; the message of the error that stopped them, empty when all applied.
QString apply(const QStringList& lines, Applied& applied) {
    return failureOf([&] {
        applySettingsLines(
            lines,
            [&](int index, const QString& text) {
                FUZZ_CHECK(index == applied.fieldCount);
                applied.fields[index] = text;
                ++applied.fieldCount;
            },
            [&](GeometryValue which, int value) {
                FUZZ_CHECK(int(which) == applied.geometryCount);
                applied.geometry[int(which)] = value;
                ++applied.geometryCount;
            });
    });
}

QByteArray fileBytes(const QStringList& lines) {
    QByteArray bytes;
    for (const QString& line : lines)
        bytes += ansi::encode(line) + "\r\n";
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QStringList lines = splitLines(fuzz::bytesOf(data, size));
    Applied applied;
    const QString failure = apply(lines, applied);
    // Every line before the one that stopped was applied, as it was read.
    for (int i = 0; i < applied.fieldCount; ++i)
        FUZZ_CHECK(applied.fields[i] == lines[i]);
    for (int g = 0; g < applied.geometryCount; ++g)
        FUZZ_CHECK(parseInt32(lines[kSettingsFieldCount + g]) == applied.geometry[g]);
    if (!failure.isEmpty()) {
        FUZZ_CHECK(applied.geometryCount < kSettingsGeometryCount);
        return 0;
    }
    FUZZ_CHECK(applied.fieldCount == kSettingsFieldCount && lines.size() >= kSettingsLineCount);

    const QStringList written =
        settingsLines(applied.fields, applied.geometry[0], applied.geometry[1], applied.geometry[2],
                      applied.geometry[3]);
    FUZZ_CHECK(written.size() == kSettingsLineCount);
    Applied reread;
    FUZZ_CHECK(apply(splitLines(fileBytes(written)), reread).isEmpty());
    for (int i = 0; i < kSettingsFieldCount; ++i)
        FUZZ_CHECK(fuzz::readsBackAs(applied.fields[i], reread.fields[i]));
    FUZZ_CHECK(reread.geometry == applied.geometry);
    return 0;
}
