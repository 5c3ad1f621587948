#include "common/LineFile.h"

#include "common/AnsiText.h"
#include "common/ProgramError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <sys/stat.h>

namespace {

constexpr char kCr = '\r';
constexpr char kLf = '\n';
constexpr char kTextEnd = '\0';
const QByteArray kLineEnd = QByteArrayLiteral("\r\n");
constexpr mode_t kPrivateFileMode = 0600;

} // namespace

QStringList splitLines(const QByteArray& bytes) {
    const qsizetype nul = bytes.indexOf(kTextEnd);
    const qsizetype end = nul < 0 ? bytes.size() : nul;
    QStringList lines;
    qsizetype start = 0;
    qsizetype i = 0;
    while (i < end) {
        const char c = bytes[i];
        if (c != kCr && c != kLf) {
            ++i;
            continue;
        }
        lines.append(ansi::decode(bytes.mid(start, i - start)));
        ++i;
        if (c == kCr && i < end && bytes[i] == kLf)
            ++i;
        start = i;
    }
    if (start < end)
        lines.append(ansi::decode(bytes.mid(start, end - start)));
    return lines;
}

QStringList readLineFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw ProgramError(fileOpenErrorMessage(path, file.errorString()));
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw ProgramError(fileOpenErrorMessage(path, file.errorString()));
    return splitLines(bytes);
}

void writeLineFile(const QString& path, const QStringList& lines) {
    // Replacing by rename would silently override a write-protected file; refuse it the way
    // overwriting it in place would. A file nobody may write counts as protected even for a
    // privileged user.
    const QFileInfo existing(path);
    const auto anyWrite =
        QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
    if (existing.isFile() && (!existing.isWritable() || !(existing.permissions() & anyWrite)))
        throw ProgramError(fileCreateErrorMessage(path, QStringLiteral("Zugriff verweigert")));

    QByteArray bytes;
    for (const QString& line : lines) {
        bytes += ansi::encode(line);
        bytes += kLineEnd;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw ProgramError(fileCreateErrorMessage(path, file.errorString()));
    // The settings and the address book are this user's own: nobody else reads who they talk to.
    ::fchmod(file.handle(), kPrivateFileMode);
    if (file.write(bytes) != bytes.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        throw ProgramError(fileCreateErrorMessage(path, reason));
    }
    if (!file.commit())
        throw ProgramError(fileCreateErrorMessage(path, file.errorString()));
}
