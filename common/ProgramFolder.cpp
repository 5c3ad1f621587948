#include "common/ProgramFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
const QString kConfigSubfolder = QStringLiteral("Vorlax");
}

QString programFolder() {
    const QString executableFolder = QCoreApplication::applicationDirPath();
    // isWritable asks the system (access with W_OK), so a read-only mount counts as not writable
    // too.
    if (QFileInfo(executableFolder).isWritable())
        return executableFolder + '/';
    const QString configFolder =
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + '/' +
        kConfigSubfolder;
    QDir().mkpath(configFolder);
    return configFolder + '/';
}
