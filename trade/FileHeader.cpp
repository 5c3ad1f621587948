#include "trade/FileHeader.h"

#include <QtEndian>

#include <algorithm>

namespace {
const QByteArray kMarker = QByteArrayLiteral("New File");
constexpr int kMarkerLengthOffset = 0;
constexpr int kMarkerTextOffset = 1;
constexpr int kNameLengthOffset = 31;
constexpr int kNameTextOffset = 32;
constexpr int kTotalSizeOffset = 148;

bool isSafeName(const QByteArray& name) {
    if (name.isEmpty() || name == "." || name == "..")
        return false;
    for (const char c : name)
        if (c == '/' || c == '\\' || c == ':' || c == '\0')
            return false;
    return true;
}
} // namespace

QString bareFileName(const QString& path) {
    const qsizetype cut =
        std::max({path.lastIndexOf(QLatin1Char('\\')), path.lastIndexOf(QLatin1Char(':')),
                  path.lastIndexOf(QLatin1Char('/'))});
    return path.mid(cut + 1);
}

QByteArray cutHeaderName(const QByteArray& bareName) {
    if (bareName.size() <= kMaxHeaderNameBytes)
        return bareName;
    if (!bareName.isValidUtf8())
        return bareName.left(kMaxHeaderNameBytes); // one byte per character
    qsizetype cut = kMaxHeaderNameBytes;
    while (cut > 0 && (static_cast<quint8>(bareName[cut]) & 0xC0) == 0x80)
        --cut; // back to the first byte of the character the limit falls in
    return bareName.left(cut);
}

QByteArray encodeFileHeader(const QByteArray& bareName, qint64 fileSize) {
    QByteArray header(kFileHeaderBytes, '\0');
    header[kMarkerLengthOffset] = static_cast<char>(kMarker.size());
    header.replace(kMarkerTextOffset, kMarker.size(), kMarker);
    const QByteArray name = cutHeaderName(bareName);
    header[kNameLengthOffset] = static_cast<char>(name.size());
    header.replace(kNameTextOffset, name.size(), name);
    const auto totalSize = static_cast<qint32>(fileSize + kFileHeaderBytes);
    qToLittleEndian<qint32>(totalSize, header.data() + kTotalSizeOffset);
    return header;
}

qint64 fileHeaderTotalSize(const QByteArray& first152) {
    if (first152.size() < kFileHeaderBytes)
        return 0;
    return qFromLittleEndian<qint32>(first152.constData() + kTotalSizeOffset);
}

std::optional<FileHeader> decodeFileHeader(const QByteArray& first152) {
    if (first152.size() < kFileHeaderBytes)
        return std::nullopt;
    if (static_cast<quint8>(first152[kMarkerLengthOffset]) != kMarker.size() ||
        first152.mid(kMarkerTextOffset, kMarker.size()) != kMarker)
        return std::nullopt;
    const int nameLength = static_cast<quint8>(first152[kNameLengthOffset]);
    if (nameLength > kMaxHeaderNameBytes)
        return std::nullopt;
    FileHeader header{first152.mid(kNameTextOffset, nameLength), fileHeaderTotalSize(first152)};
    if (!isSafeName(header.name) || header.totalSize < kFileHeaderBytes)
        return std::nullopt;
    return header;
}
