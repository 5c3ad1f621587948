#include "app/EncryptionChoice.h"

#include "common/LineFile.h"

#include <QFile>

#include <array>

namespace {
constexpr std::array kChoices = {EncryptionChoice::Off, EncryptionChoice::WhenAvailable,
                                 EncryptionChoice::Required};
constexpr std::array kTexts = {"Off", "When available", "Required"};
constexpr qint64 kMaxFileBytes = 256 * 260; // the choice and every mark; the rest is not read

QStringList fileLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return splitLines(file.read(kMaxFileBytes));
}
} // namespace

QStringList encryptionChoiceTexts() {
    QStringList texts;
    for (const char* text : kTexts)
        texts << QString::fromLatin1(text);
    return texts;
}

QString encryptionChoiceText(EncryptionChoice choice) {
    return QString::fromLatin1(kTexts[size_t(choice)]);
}

EncryptionChoice loadEncryptionChoice(const QString& path) {
    const QStringList lines = fileLines(path);
    if (lines.isEmpty())
        return kDefaultEncryptionChoice;
    const QString stored = lines.first().trimmed();
    for (EncryptionChoice choice : kChoices)
        if (stored.compare(encryptionChoiceText(choice), Qt::CaseInsensitive) == 0)
            return choice;
    return kDefaultEncryptionChoice;
}

QStringList loadEncryptionMarks(const QString& path) {
    QStringList marks;
    const QStringList lines = fileLines(path);
    for (qsizetype i = 1; i < lines.size() && marks.size() < kMaxEncryptionMarks; ++i)
        if (!lines[i].trimmed().isEmpty())
            marks << lines[i].trimmed();
    return marks;
}

void saveEncryptionChoice(const QString& path, EncryptionChoice choice, const QStringList& marks) {
    writeLineFile(path, QStringList{encryptionChoiceText(choice)} + marks);
}
