#include "app/EncryptionChoice.h"

#include "common/LineFile.h"

#include <QFile>

#include <array>

namespace {
constexpr std::array kChoices = {EncryptionChoice::Off, EncryptionChoice::WhenAvailable,
                                 EncryptionChoice::Required};
constexpr std::array kTexts = {"Off", "When available", "Required"};
constexpr qint64 kMaxFileBytes = 256; // far more than one choice needs; the rest is not read
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
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return kDefaultEncryptionChoice;
    const QStringList lines = splitLines(file.read(kMaxFileBytes));
    if (lines.isEmpty())
        return kDefaultEncryptionChoice;
    const QString stored = lines.first().trimmed();
    for (EncryptionChoice choice : kChoices)
        if (stored.compare(encryptionChoiceText(choice), Qt::CaseInsensitive) == 0)
            return choice;
    return kDefaultEncryptionChoice;
}

void saveEncryptionChoice(const QString& path, EncryptionChoice choice) {
    writeLineFile(path, {encryptionChoiceText(choice)});
}
