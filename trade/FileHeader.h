#pragma once
// The 152-byte header sent before every file on the download channel: a length-prefixed marker,
// the length-prefixed bare file name and the byte count of header and file together.
//
//   offset   0      marker length (8)
//   offset   1..8   "New File"
//   offset  31      name length n (at most 100)
//   offset  32..131 the first n bytes of the bare name
//   offset 148..151 TotalSize, little-endian signed 32 bits: file size + 152

#include <QByteArray>
#include <QString>

#include <optional>

inline constexpr int kFileHeaderBytes = 152;
inline constexpr int kMaxHeaderNameBytes = 100;
// The largest file whose TotalSize still fits in a signed 32-bit field is refused too, so that
// a sent size never reaches the field's maximum.
inline constexpr qint64 kMaxSendableFileBytes = 2147483494;

struct FileHeader {
    QByteArray name;  // the bare name's bytes, safe to append to the save folder
    qint64 totalSize; // header and file together
};

// The text after the last "\", ":" or "/" of a path.
QString bareFileName(const QString& path);

// The name as a header carries it: at most 100 bytes, cut at a character boundary when the name is
// UTF-8 text, so that a multi-byte character is never split.
QByteArray cutHeaderName(const QByteArray& bareName);

// The header for a file of fileSize bytes, its name cut by cutHeaderName.
QByteArray encodeFileHeader(const QByteArray& bareName, qint64 fileSize);

// The TotalSize field of a header, sign-extended; readable whatever the rest holds.
qint64 fileHeaderTotalSize(const QByteArray& first152);

// The header's name and size, or nothing when the marker differs, TotalSize is below the header's
// own 152 bytes, or the name could lead outside the save folder (longer than 100, holding "/",
// "\", ":" or a zero byte, empty, "." or "..").
std::optional<FileHeader> decodeFileHeader(const QByteArray& first152);
