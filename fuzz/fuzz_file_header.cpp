// The 152-byte header before each received file: a decoded name is safe to append to the save
// folder, the size field reads the same either way, and a header this program writes reads back.
#include "fuzz/FuzzCheck.h"

#include "trade/FileHeader.h"

#include <cstdint>

namespace {

bool isSafeName(const QByteArray& name) {
    return !name.isEmpty() && name.size() <= kMaxHeaderNameBytes && name != "." && name != ".." &&
           !name.contains('/') && !name.contains('\\') && !name.contains(':') &&
           !name.contains('\0');
}

void checkReceived(const QByteArray& bytes) {
    const qint64 total = fileHeaderTotalSize(bytes);
    FUZZ_CHECK(total >= INT32_MIN && total <= INT32_MAX);
    const auto header = decodeFileHeader(bytes);
    if (!header)
        return;
    FUZZ_CHECK(bytes.size() >= kFileHeaderBytes);
    FUZZ_CHECK(isSafeName(header->name));
    FUZZ_CHECK(header->totalSize == total);
}

void checkWritten(const QByteArray& name, qint64 fileSize) {
    const QByteArray cut = cutHeaderName(name);
    FUZZ_CHECK(cut.size() <= kMaxHeaderNameBytes && name.startsWith(cut));
    FUZZ_CHECK(cut.size() == name.size() || cut.size() > kMaxHeaderNameBytes - 4);
    if (name.isValidUtf8())
        FUZZ_CHECK(cut.isValidUtf8());
    const QByteArray header = encodeFileHeader(name, fileSize);
    FUZZ_CHECK(header.size() == kFileHeaderBytes);
    FUZZ_CHECK(fileHeaderTotalSize(header) == fileSize + kFileHeaderBytes);
    const auto back = decodeFileHeader(header);
    FUZZ_CHECK(back.has_value() == isSafeName(cut));
    if (back)
        FUZZ_CHECK(back->name == cut && back->totalSize == fileSize + kFileHeaderBytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes = fuzz::bytesOf(data, size);
    checkReceived(bytes);

    // The first four bytes give a file size the header can carry, the rest a name.
    if (size >= 4) {
        const quint32 raw = quint32(data[0]) | quint32(data[1]) << 8 | quint32(data[2]) << 16 |
                            quint32(data[3]) << 24;
        checkWritten(bytes.mid(4), qint64(raw) % (kMaxSendableFileBytes + 1));
    }
    return 0;
}
