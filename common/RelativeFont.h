#pragma once
// Fonts that follow the desktop's: a text meant to be larger or smaller than the window's is given
// as a multiple of the font it would have, so a user who chose a larger desktop font gets every
// text larger in proportion.

#include <QFont>

// base, scaled by factor: in points when base has a point size, else in pixels.
inline QFont scaledFont(QFont base, qreal factor) {
    if (base.pointSizeF() > 0)
        base.setPointSizeF(base.pointSizeF() * factor);
    else if (base.pixelSize() > 0)
        base.setPixelSize(qRound(base.pixelSize() * factor));
    return base;
}

// The window's texts were designed at an 11-pixel character height; a text designed at `pixels`
// keeps that proportion to the font actually in use.
inline constexpr qreal kDesignedWindowFontPixels = 11.0;
inline QFont designedFont(const QFont& base, int pixels) {
    return scaledFont(base, pixels / kDesignedWindowFontPixels);
}
