#pragma once
// Writes pictures as Windows bitmap (BMP) files, which Qt cannot do for 4-bit pictures.
//
// The file is uncompressed (BI_RGB), little-endian throughout:
//   file header, 14 bytes:  "BM", file size (u32), two reserved u16 = 0, offset of the pixels (u32)
//   info header, 40 bytes:  header size 40, width, height (positive: rows bottom-up), planes 1,
//                           bits per pixel, compression 0, pixel data size, 2835 pixels per metre
//                           (72 dpi) horizontally and vertically, palette entries, important 0
//   palette:                one quad per entry: blue, green, red, 0
//   pixels:                 the bottom row first; every row padded with zero bytes to 4 bytes
//
// The bit depth follows the picture: an indexed picture of at most 16 colours is written with 4
// bits per pixel and a 16-entry palette (padded with black), one of more colours with 8 bits and
// its own palette, a 32-bit RGB picture with 24 bits (blue, green, red), anything else with 32 bits
// (blue, green, red, alpha).

#include <QByteArray>
#include <QImage>
#include <QString>

QByteArray encodeBmp(const QImage& picture);

// Creates or replaces the file at path. The bytes go to a temporary file beside it that is renamed
// into place, so a failure never leaves half a file. Failures raise ProgramError
// "Datei "<full native path>" kann nicht erstellt werden. <the system's reason>".
void writeBmpFile(const QString& path, const QImage& picture);
