#include "common/ProgramFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
const QString kConfigSubfolder = QStringLiteral("Vorlax");
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
    return configFolder + '/';
}

QString programFolder() {
    return textFilesFolder(QCoreApplication::applicationDirPath());
}
