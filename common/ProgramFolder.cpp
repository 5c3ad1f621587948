#include "common/ProgramFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <sys/stat.h>

namespace {
const QString kConfigSubfolder = QStringLiteral("Vorlax");
constexpr mode_t kPrivateFolderMode = 0700;
// The installed desktop entry, relative to the installed program's folder (set by the build from
// the install rules).
const QString kDesktopEntryFromProgram = QStringLiteral(VORLAX_DESKTOP_ENTRY_FROM_BIN);

bool isInstalled(const QString& executableFolder) {
    return QFileInfo::exists(executableFolder + '/' + kDesktopEntryFromProgram);
}
} // namespace

QString textFilesFolder(const QString& executableFolder) {
    // isWritable asks the system (access with W_OK), so a read-only mount counts as not writable
    // too.
    if (!isInstalled(executableFolder) && QFileInfo(executableFolder).isWritable())
        return executableFolder + '/';
    const QString configFolder =
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + '/' +
        kConfigSubfolder;
    QDir().mkpath(configFolder);
    // Private to this user, also where an earlier version left it open to all.
    ::chmod(QFile::encodeName(configFolder).constData(), kPrivateFolderMode);
    return configFolder + '/';
}

QString programFolder() {
    return textFilesFolder(QCoreApplication::applicationDirPath());
}
