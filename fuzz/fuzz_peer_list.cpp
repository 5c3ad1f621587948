// The address book "Connect.ini" as the program reads it from disk: lines end at CR LF, CR or LF, a
// zero byte ends the text. Saving what was read and reading it again gives the same addresses.
#include "fuzz/FuzzCheck.h"

#include "common/LineFile.h"
#include "net/PeerList.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>

namespace {

// Saving syncs the file to disk; in memory (where the system offers it) that costs nothing.
const QTemporaryDir& folder() {
    static const QTemporaryDir dir(QDir(QStringLiteral("/dev/shm")).exists()
                                       ? QStringLiteral("/dev/shm/vorlax-fuzz-XXXXXX")
                                       : QString());
    FUZZ_CHECK(dir.isValid());
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString path = folder().filePath(QLatin1String(kPeerListFileName));
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        FUZZ_CHECK(file.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size));
    }
    const QStringList list = loadPeerList(path);
    FUZZ_CHECK(list == splitLines(fuzz::bytesOf(data, size)));
    for (const QString& address : list) {
        FUZZ_CHECK(!address.contains(QLatin1Char('\r')) && !address.contains(QLatin1Char('\n')));
        FUZZ_CHECK(!address.contains(QChar(0)));
        FUZZ_CHECK(peerListContains(list, address));
    }

    savePeerList(path, list);
    const QStringList again = loadPeerList(path);
    FUZZ_CHECK(again.size() == list.size());
    for (qsizetype i = 0; i < list.size(); ++i)
        FUZZ_CHECK(fuzz::readsBackAs(list[i], again[i]));
    return 0;
}
