#include "trade/TradeFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdint>
#include <sys/stat.h>
#include <filesystem>
#include <system_error>

namespace {

constexpr QChar kExtensionDot = u'.';
constexpr QChar kSeparator = u'/';
const QString kNoSuchFile = QStringLiteral("-1");

QString folderPartOf(const QString& folderPrefix) {
    return folderPrefix.left(folderPrefix.lastIndexOf(kSeparator) + 1);
}

bool fitsOnOneLine(const QString& name) {
    return !name.contains(u'\r') && !name.contains(u'\n') && !name.contains(QChar(u'\0'));
}

} // namespace

QString fileTypeText(const QString& name) {
    const qsizetype dot = name.lastIndexOf(kExtensionDot);
    return dot < 0 ? QString() : name.mid(dot + 1);
}

QString fileSizeText(const QString& path) {
    const QFileInfo info(QFileInfo(path).absoluteFilePath());
    if (!info.exists())
        return kNoSuchFile;
    // A folder has no size of its own in the listing.
    const qint64 size = info.isDir() ? 0 : info.size();
    const auto low32 = static_cast<int32_t>(static_cast<uint32_t>(size));
    return QString::number(low32);
}

QList<TradeFileEntry> listTradeFolder(const QString& folderPrefix) {
    // The prefix may end inside a name ("/data/pic" lists "/data/picture.png"): the folder is the
    // part up to the last separator, the rest a start every listed name must have.
    const QString folderPart = folderPartOf(folderPrefix);
    const QString nameStart = folderPrefix.mid(folderPart.size());

    const QDir dir(folderPart.isEmpty() ? QStringLiteral(".") : folderPart);
    if (!dir.exists())
        return {};
    // No symbolic links: one could lead out of the folder, to a file its owner never meant to
    // offer, planted by anyone who may write the folder.
    const QStringList names = dir.entryList(QDir::Files | QDir::Hidden | QDir::System |
                                                QDir::NoDotAndDotDot | QDir::NoSymLinks,
                                            QDir::Unsorted);

    QList<TradeFileEntry> entries;
    for (const QString& name : names) {
        if (!name.startsWith(nameStart) || !fitsOnOneLine(name))
            continue;
        const QString path = folderPart + name;
        const QFileInfo info(path);
        if (info.isSymLink() || !info.isFile())
            continue;
        entries.append({name, fileTypeText(name), fileSizeText(path), path});
    }
    return entries;
}

QString ensureFolder(const QString& folderPrefix) {
    const QString folder = folderPartOf(folderPrefix);
    if (folder.isEmpty() || QFileInfo(folder).isDir())
        return {};
    std::error_code error;
    std::filesystem::create_directories(QFile::encodeName(folder).toStdString(), error);
    if (!error && QFileInfo(folder).isDir())
        return {};
    const QString reason =
        error ? QString::fromLocal8Bit(error.message().c_str()) : QStringLiteral("not a folder");
    return QStringLiteral("The folder %1 is missing and cannot be created: %2.")
        .arg(folder, reason);
}

bool othersMayWrite(const QString& folderPrefix) {
    const QString folder = folderPartOf(folderPrefix);
    struct stat status {};
    if (folder.isEmpty() || ::stat(QFile::encodeName(folder).constData(), &status) != 0)
        return false;
    return (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}
