#include "net/PeerList.h"

#include "common/LineFile.h"

#include <QFileInfo>

bool peerListContains(const QStringList& list, const QString& address) {
    return list.contains(address, Qt::CaseInsensitive);
}

QStringList loadPeerList(const QString& path) {
    if (!QFileInfo::exists(path))
        return {};
    return readLineFile(path);
}

void savePeerList(const QString& path, const QStringList& list) {
    writeLineFile(path, list);
}
