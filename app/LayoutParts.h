#pragma once
// Small pieces the main window's layout files share: panels, captions and the sizes of buttons,
// fields and bars. A size given here is the one at the window's designed font; each grows when
// the desktop's font needs more room.

#include "common/RelativeFont.h"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>

#include <algorithm>

inline constexpr int kLargeFontPixels = 16; // the larger captions and the chat input
inline constexpr int kButtonHeight = 25;

// Holds a bar at least at its designed height, taller when its contents need it.
inline void atLeastHigh(QWidget* bar, int height) {
    bar->setMinimumHeight(height);
    bar->setSizePolicy(bar->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
}

// A field at its designed width, or as wide as `digits` digits need in its font.
inline int fieldWidth(QLineEdit* field, int designed, int digits) {
    constexpr int kTextMargins = 12; // the field's frame and inner margins
    return std::max(designed,
                    field->fontMetrics().horizontalAdvance(QString(digits, '0')) + kTextMargins);
}

// A button at its designed size, or as large as its caption and glyph need. (The style's own size
// hint would also widen every captioned button to the style's preferred minimum.)
inline QSize buttonSize(QAbstractButton* button, QSize designed) {
    constexpr int kGlyphGap = 4; // between the glyph and the caption
    const QStyle* style = button->style();
    const int margins = style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button) +
                        2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
    const QFontMetrics metrics = button->fontMetrics();
    QSize content(metrics.horizontalAdvance(button->text()), metrics.height());
    if (!button->icon().isNull())
        content = QSize(content.width() + button->iconSize().width() + kGlyphGap,
                        std::max(content.height(), button->iconSize().height()));
    return designed.expandedTo(content + QSize(margins, margins));
}

inline QFrame* borderedPanel(QWidget* parent, QFrame::Shape shape = QFrame::Box) {
    auto* panel = new QFrame(parent);
    panel->setFrameShape(shape);
    panel->setFrameShadow(QFrame::Sunken);
    return panel;
}

// A caption in the window's font, or in the designed pixel height relative to it.
inline QLabel* label(QWidget* parent, const QString& text, int designedPixels = 0) {
    auto* l = new QLabel(text, parent);
    if (designedPixels > 0)
        l->setFont(designedFont(l->font(), designedPixels));
    return l;
}
