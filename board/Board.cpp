#include "board/Board.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr quint32 kRedShift = 0;
constexpr quint32 kGreenShift = 8;
constexpr quint32 kBlueShift = 16;
constexpr quint32 kChannelMask = 0xFF;
constexpr int kBitsPerByte = 8;

// How a bitmap stores one pixel, which decides how a colour is written into it.
enum class PixelKind {
    Index8, // one byte per pixel, an index into the colour table
    Rgb32,  // one 32-bit 0xAARRGGBB word per pixel (alpha always opaque here)
    Other,  // any other format with whole bytes per pixel, written through QImage
};

PixelKind pixelKind(QImage::Format format) {
    switch (format) {
    case QImage::Format_Indexed8:
        return PixelKind::Index8;
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
        return PixelKind::Rgb32;
    default:
        return PixelKind::Other;
    }
}

int squaredDistance(QRgb a, QRgb b) {
    const int dr = qRed(a) - qRed(b);
    const int dg = qGreen(a) - qGreen(b);
    const int db = qBlue(a) - qBlue(b);
    return dr * dr + dg * dg + db * db;
}

// The palette entry closest to rgb; on a tie the lowest index wins.
int nearestIndex(const QList<QRgb>& table, QRgb rgb) {
    int best = 0;
    int bestDistance = std::numeric_limits<int>::max();
    for (int i = 0; i < table.size(); ++i) {
        const int distance = squaredDistance(table[i], rgb);
        if (distance < bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return best;
}

// One platform colour in the form a particular bitmap stores it.
struct Ink {
    PixelKind kind;
    uint value; // palette index for Index8, opaque QRgb otherwise
};

Ink inkFor(const QImage& image, quint32 color) {
    const QRgb rgb = platformColorToRgb(color);
    const PixelKind kind = pixelKind(image.format());
    if (kind == PixelKind::Index8)
        return {kind, static_cast<uint>(nearestIndex(image.colorTable(), rgb))};
    return {kind, rgb};
}

// Sets the pixels x1 <= x < x2 of row y; the span lies inside the bitmap.
void paintSpan(QImage& image, int y, int x1, int x2, const Ink& ink) {
    if (x2 <= x1)
        return;
    uchar* line = image.scanLine(y);
    switch (ink.kind) {
    case PixelKind::Index8:
        std::memset(line + x1, static_cast<int>(ink.value), static_cast<size_t>(x2 - x1));
        break;
    case PixelKind::Rgb32:
        std::fill_n(reinterpret_cast<QRgb*>(line) + x1, x2 - x1, ink.value);
        break;
    case PixelKind::Other:
        for (int x = x1; x < x2; ++x)
            image.setPixelColor(x, y, QColor::fromRgb(ink.value));
        break;
    }
}

void fillAll(QImage& image, quint32 color) {
    const Ink ink = inkFor(image, color);
    for (int y = 0; y < image.height(); ++y)
        paintSpan(image, y, 0, image.width(), ink);
}

// The formats a board keeps as they are; anything else is brought into one of them on restore.
QImage boardCopyOf(const QImage& picture) {
    switch (picture.format()) {
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
        // Bit-packed pixels are widened to one byte each; the palette stays the same.
        return picture.convertToFormat(QImage::Format_Indexed8);
    case QImage::Format_Indexed8:
        // Without a palette the indexes mean nothing a painter could map a colour to.
        if (picture.colorTable().isEmpty())
            return picture.convertToFormat(QImage::Format_RGB32);
        return picture.copy();
    case QImage::Format_Invalid:
        return QImage();
    default:
        if (picture.depth() % kBitsPerByte != 0)
            return picture.convertToFormat(QImage::Format_ARGB32);
        return picture.copy();
    }
}

} // namespace

QList<QRgb> vgaPalette() {
    return {
        qRgb(0x00, 0x00, 0x00), // black
        qRgb(0x80, 0x00, 0x00), // maroon
        qRgb(0x00, 0x80, 0x00), // green
        qRgb(0x80, 0x80, 0x00), // olive
        qRgb(0x00, 0x00, 0x80), // navy
        qRgb(0x80, 0x00, 0x80), // purple
        qRgb(0x00, 0x80, 0x80), // teal
        qRgb(0xC0, 0xC0, 0xC0), // silver
        qRgb(0x80, 0x80, 0x80), // grey
        qRgb(0xFF, 0x00, 0x00), // red
        qRgb(0x00, 0xFF, 0x00), // lime
        qRgb(0xFF, 0xFF, 0x00), // yellow
        qRgb(0x00, 0x00, 0xFF), // blue
        qRgb(0xFF, 0x00, 0xFF), // fuchsia
        qRgb(0x00, 0xFF, 0xFF), // aqua
        qRgb(0xFF, 0xFF, 0xFF), // white
    };
}

QImage initialSlotPicture() {
    QImage picture(kSlotPictureSize, kSlotPictureSize, QImage::Format_Indexed8);
    picture.setColorTable(vgaPalette());
    picture.fill(kVgaWhiteIndex);
    return picture;
}

QRgb platformColorToRgb(quint32 color) {
    return qRgb(static_cast<int>((color >> kRedShift) & kChannelMask),
                static_cast<int>((color >> kGreenShift) & kChannelMask),
                static_cast<int>((color >> kBlueShift) & kChannelMask));
}

TBoard::TBoard(int width, int height) {
    resizeLocked(width, height);
}

QImage TBoard::snapshot() const {
    QMutexLocker lock(&mutex_);
    return image_.copy();
}

QSize TBoard::size() const {
    QMutexLocker lock(&mutex_);
    return QSize(image_.width(), image_.height());
}

quint32 TBoard::fillColor() const {
    QMutexLocker lock(&mutex_);
    return fill_;
}

quint32 TBoard::outlineColor() const {
    QMutexLocker lock(&mutex_);
    return outline_;
}

void TBoard::setFillColor(quint32 color) {
    QMutexLocker lock(&mutex_);
    fill_ = color;
}

void TBoard::setOutlineColor(quint32 color) {
    QMutexLocker lock(&mutex_);
    outline_ = color;
}

void TBoard::paintRect(int x1, int y1, int x2, int y2) {
    QMutexLocker lock(&mutex_);
    paintRectLocked(x1, y1, x2, y2);
}

void TBoard::paintSquare(int x, int y, quint32 color) {
    // The square's far edges are computed in 64 bits: a peer may send coordinates near the limits.
    constexpr qint64 kSquareSide = 2;
    QMutexLocker lock(&mutex_);
    outline_ = color;
    fill_ = color;
    paintRectLocked(x, y, x + kSquareSide, y + kSquareSide);
}

void TBoard::clear(int viewW, int viewH) {
    // Row 0 is left as it is: the cleared area starts at row 1.
    constexpr qint64 kFirstClearedRow = 1;
    QMutexLocker lock(&mutex_);
    fill_ = kWhiteColor;
    paintRectLocked(0, kFirstClearedRow, viewW, viewH);
}

void TBoard::fitToView(int w, int h) {
    QMutexLocker lock(&mutex_);
    // Setting the width and then the height gives the same pixels as one change to both: every
    // added pixel takes the same fill colour and the old pixels stay at the top-left.
    resizeLocked(w, h);
    fill_ = kWhiteColor;
    outline_ = kWhiteColor;
    paintRectLocked(0, qint64(h) - 1, w, h);
    paintRectLocked(qint64(w) - 1, 0, w, h);
}

void TBoard::replaceWith(const QImage& picture) {
    QMutexLocker lock(&mutex_);
    image_ = boardCopyOf(picture);
    if (!image_.isNull()) {
        format_ = image_.format();
        colorTable_ = image_.colorTable();
    }
    fill_ = kWhiteColor;
    outline_ = kBlackColor;
    changed();
}

void TBoard::paintRectLocked(qint64 x1, qint64 y1, qint64 x2, qint64 y2) {
    const qint64 left = std::max<qint64>(x1, 0);
    const qint64 right = std::min<qint64>(x2, image_.width());
    const qint64 top = std::max<qint64>(y1, 0);
    const qint64 bottom = std::min<qint64>(y2, image_.height());
    if (left >= right || top >= bottom)
        return;
    const Ink outline = inkFor(image_, outline_);
    const Ink fill = inkFor(image_, fill_);
    const auto span = [&](qint64 y, qint64 from, qint64 to, const Ink& ink) {
        paintSpan(image_, int(y), int(std::max(from, left)), int(std::min(to, right)), ink);
    };
    for (qint64 y = top; y < bottom; ++y) {
        if (y == y1 || y == y2 - 1) {
            span(y, x1, x2, outline);
            continue;
        }
        span(y, x1, x1 + 1, outline);
        span(y, x1 + 1, x2 - 1, fill);
        span(y, x2 - 1, x2, outline);
    }
    changed();
}

void TBoard::resizeLocked(int width, int height) {
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (width == image_.width() && height == image_.height())
        return;
    QImage grown(width, height, format_);
    if (format_ == QImage::Format_Indexed8)
        grown.setColorTable(colorTable_);
    fillAll(grown, fill_);
    // A bitmap the system could not allocate comes back null: nothing is copied into it then.
    const int keptWidth = std::min(grown.width(), image_.width());
    const int keptHeight = std::min(grown.height(), image_.height());
    const size_t keptBytes = static_cast<size_t>(keptWidth) * (grown.depth() / kBitsPerByte);
    for (int y = 0; y < keptHeight; ++y)
        std::memcpy(grown.scanLine(y), image_.constScanLine(y), keptBytes);
    image_ = grown;
    changed();
}
