#pragma once
// The drawing board: one raster bitmap plus its painting state (a fill and an outline colour).
//
// Colours are platform colour values 0x00BBGGRR: red in the low byte, then green, then blue. A
// value with bits above 0x00FFFFFF (a peer may send any 32-bit number, negatives included) is
// painted with its low 24 bits; the top byte is ignored.
//
// The board is used by the GUI thread (local strokes, clear, the keeper, restore) and by the plot
// listener's worker threads (received points) at the same time, so every operation - setting
// colours, painting, resizing, replacing, reading - holds one mutex and runs as one unit. In
// particular paintSquare() sets both colours and paints under the same lock, so a square never
// takes the colour of a square painted concurrently by another thread.
//
// A board normally is a 32-bit RGB bitmap. After a restore it takes the restored picture's format;
// an indexed picture (the 16-colour slot picture) stays indexed through resizes, clears and
// painting, and painting on it uses the palette entry nearest to the colour: the smallest squared
// distance in red, green and blue, the lowest index on a tie.

#include <QImage>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QSize>

#include <atomic>
#include <cstdint>

inline constexpr quint32 kWhiteColor = 0xFFFFFF;
inline constexpr quint32 kBlackColor = 0x000000;

// Width and height of the picture every snapshot slot starts with.
inline constexpr int kSlotPictureSize = 200;
// Index of white in the 16-colour palette: the slot picture's every pixel.
inline constexpr int kVgaWhiteIndex = 15;

// The 16 standard VGA colours in the platform's order, white last.
QList<QRgb> vgaPalette();

// 200 x 200 pixels, 16 colours (stored as 8-bit indexes into vgaPalette()), every pixel white.
QImage initialSlotPicture();

// The opaque RGB value of a platform colour value (its low 24 bits).
QRgb platformColorToRgb(quint32 color);

class TBoard {
public:
    // A 32-bit RGB bitmap of the given size, all white; fill colour white, outline colour black.
    TBoard(int width, int height);

    TBoard(const TBoard&) = delete;
    TBoard& operator=(const TBoard&) = delete;

    // A deep copy of the bitmap in its own format.
    QImage snapshot() const;
    QSize size() const;

    quint32 fillColor() const;
    quint32 outlineColor() const;
    void setFillColor(quint32 color);
    void setOutlineColor(quint32 color);

    // Sets the pixels x1 <= x < x2, y1 <= y < y2: the first and last column and row of that area in
    // the outline colour, the others in the fill colour. Clipped to the bitmap; an empty or
    // inverted area paints nothing.
    void paintRect(int x1, int y1, int x2, int y2);

    // Outline := fill := color, then the rectangle (x, y, x + 2, y + 2): a solid 2 x 2 square.
    void paintSquare(int x, int y, quint32 color);

    // Fill := white (the outline stays), then the rectangle (0, 1, viewW, viewH). Row 0 is kept.
    void clear(int viewW, int viewH);

    // Brings the bitmap to the view's size (new area in the present fill colour, cut pixels are
    // gone), then whitens the last row and the last column; the colours are left white.
    void fitToView(int w, int h);

    // Replaces the bitmap by a copy of the picture in the picture's format; the painting state
    // becomes that of a new bitmap (fill white, outline black).
    void replaceWith(const QImage& picture);

    // Counts changes of the bitmap, so the view can tell when to repaint.
    quint64 generation() const { return generation_.load(); }

    // Runs f(const QImage&) with the lock held, for reading the bitmap without copying it.
    template <class F> void read(F&& f) const {
        QMutexLocker lock(&mutex_);
        f(static_cast<const QImage&>(image_));
    }

private:
    void paintRectLocked(qint64 x1, qint64 y1, qint64 x2, qint64 y2);
    void resizeLocked(int width, int height);
    void changed() { generation_.fetch_add(1); }

    mutable QMutex mutex_;
    QImage image_;
    // Kept apart from image_ so a bitmap shrunk to nothing (a null QImage) regains its format.
    QImage::Format format_ = QImage::Format_RGB32;
    QList<QRgb> colorTable_;
    quint32 fill_ = kWhiteColor;
    quint32 outline_ = kBlackColor;
    std::atomic<quint64> generation_{0};
};
