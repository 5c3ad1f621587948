#include "trade/TradeFolder.h"

#include <QDir>
#include <QFileInfo>

#include <cstdint>

namespace {

constexpr QChar kExtensionDot = u'.';
constexpr QChar kSeparator = u'/';
const QString kNoSuchFile = QStringLiteral("-1");

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
    const qsizetype cut = folderPrefix.lastIndexOf(kSeparator) + 1;
    const QString folderPart = folderPrefix.left(cut);
    const QString nameStart = folderPrefix.mid(cut);

    const QDir dir(cut == 0 ? QStringLiteral(".") : folderPart);
    if (!dir.exists())
        return {};
    const QStringList names = dir.entryList(
        QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);

    QList<TradeFileEntry> entries;
    for (const QString& name : names) {
        if (!name.startsWith(nameStart) || !fitsOnOneLine(name))
            continue;
        const QString path = folderPart + name;
        if (!QFileInfo(path).isFile())
            continue;
        entries.append({name, fileTypeText(name), fileSizeText(path)});
    }
    return entries;
}
