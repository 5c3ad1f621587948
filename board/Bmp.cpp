#include "board/Bmp.h"
#include "common/ProgramError.h"

#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>
#include <QtEndian>

namespace {

constexpr char kSignature[] = "BM";
constexpr qint64 kFileHeaderSize = 14;
constexpr quint32 kInfoHeaderSize = 40;
constexpr qint64 kPaletteEntrySize = 4;
constexpr quint16 kPlanes = 1;
constexpr quint32 kCompressionNone = 0;
constexpr qint32 kPixelsPerMetre = 2835; // 72 dpi
constexpr int kSmallPaletteSize = 16;
constexpr int kMaxPaletteSize = 256;
constexpr quint16 kBits4 = 4;
constexpr quint16 kBits8 = 8;
constexpr quint16 kBits24 = 24;
constexpr quint16 kBits32 = 32;
constexpr int kRowAlignBits = 32;
constexpr int kBitsPerByte = 8;
constexpr uchar kLowNibble = 0x0F;
constexpr int kNibbleBits = 4;

// The picture as it will be stored: its pixels in a format the row writers read, the bit depth
// and the palette of the file.
struct Layout {
    QImage image;
    quint16 bitsPerPixel;
    QList<QRgb> palette;
};

Layout layoutFor(const QImage& picture) {
    switch (picture.format()) {
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
        return layoutFor(picture.convertToFormat(QImage::Format_Indexed8));
    case QImage::Format_Indexed8: {
        QList<QRgb> palette = picture.colorTable().mid(0, kMaxPaletteSize);
        if (palette.size() > kSmallPaletteSize)
            return {picture, kBits8, palette};
        palette.resize(kSmallPaletteSize, qRgb(0, 0, 0));
        return {picture, kBits4, palette};
    }
    case QImage::Format_RGB32:
        return {picture, kBits24, {}};
    case QImage::Format_ARGB32:
    case QImage::Format_Invalid:
        return {picture, kBits32, {}};
    default:
        return {picture.convertToFormat(QImage::Format_ARGB32), kBits32, {}};
    }
}

// Appends little-endian values at a moving position of a buffer of the final size.
class Writer {
public:
    explicit Writer(QByteArray& bytes) : data_(reinterpret_cast<uchar*>(bytes.data())) {}
    void u8(uchar v) { data_[pos_++] = v; }
    void u16(quint16 v) { put(v); }
    void u32(quint32 v) { put(v); }
    void i32(qint32 v) { put(v); }
    void skipTo(qint64 pos) { pos_ = pos; }

private:
    template <class T> void put(T v) {
        qToLittleEndian(v, data_ + pos_);
        pos_ += sizeof(T);
    }
    uchar* data_;
    qint64 pos_ = 0;
};

void writeRow(Writer& out, const Layout& layout, int y) {
    const uchar* line = layout.image.constScanLine(y);
    const int width = layout.image.width();
    const auto* pixels = reinterpret_cast<const QRgb*>(line);
    switch (layout.bitsPerPixel) {
    case kBits4:
        // Two pixels per byte, the left one in the high nibble.
        for (int x = 0; x < width; x += 2) {
            const uchar right = x + 1 < width ? (line[x + 1] & kLowNibble) : 0;
            out.u8(uchar((line[x] & kLowNibble) << kNibbleBits) | right);
        }
        break;
    case kBits8:
        for (int x = 0; x < width; ++x)
            out.u8(line[x]);
        break;
    default:
        for (int x = 0; x < width; ++x) {
            out.u8(uchar(qBlue(pixels[x])));
            out.u8(uchar(qGreen(pixels[x])));
            out.u8(uchar(qRed(pixels[x])));
            if (layout.bitsPerPixel == kBits32)
                out.u8(uchar(qAlpha(pixels[x])));
        }
        break;
    }
}

[[noreturn]] void failToCreate(const QString& path, const QString& reason) {
    throw ProgramError(fileCreateErrorMessage(QFileInfo(path).absoluteFilePath(), reason));
}

} // namespace

QByteArray encodeBmp(const QImage& picture) {
    const Layout layout = layoutFor(picture);
    const qint64 width = layout.image.width();
    const qint64 height = layout.image.height();
    const qint64 rowBytes = (width * layout.bitsPerPixel + kRowAlignBits - 1) / kRowAlignBits *
                            (kRowAlignBits / kBitsPerByte);
    const qint64 pixelOffset =
        kFileHeaderSize + kInfoHeaderSize + layout.palette.size() * kPaletteEntrySize;
    const qint64 imageSize = rowBytes * height;
    QByteArray bytes(pixelOffset + imageSize, '\0');
    Writer out(bytes);
    out.u8(uchar(kSignature[0]));
    out.u8(uchar(kSignature[1]));
    out.u32(quint32(bytes.size()));
    out.u16(0);
    out.u16(0);
    out.u32(quint32(pixelOffset));
    out.u32(kInfoHeaderSize);
    out.i32(qint32(width));
    out.i32(qint32(height));
    out.u16(kPlanes);
    out.u16(layout.bitsPerPixel);
    out.u32(kCompressionNone);
    out.u32(quint32(imageSize));
    out.i32(kPixelsPerMetre);
    out.i32(kPixelsPerMetre);
    out.u32(quint32(layout.palette.size()));
    out.u32(0);
    for (const QRgb entry : layout.palette) {
        out.u8(uchar(qBlue(entry)));
        out.u8(uchar(qGreen(entry)));
        out.u8(uchar(qRed(entry)));
        out.u8(0);
    }
    for (qint64 row = 0; row < height; ++row) {
        out.skipTo(pixelOffset + row * rowBytes);
        writeRow(out, layout, int(height - 1 - row));
    }
    return bytes;
}

void writeBmpFile(const QString& path, const QImage& picture) {
    const QByteArray bytes = encodeBmp(picture);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        failToCreate(path, file.errorString());
    if (file.write(bytes) != bytes.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        failToCreate(path, reason);
    }
    if (!file.commit())
        failToCreate(path, file.errorString());
}
