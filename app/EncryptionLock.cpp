#include "app/EncryptionLock.h"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace {
constexpr qreal kUnits = 16;          // the symbol is drawn in a 16 x 16 box, scaled to the font
constexpr int kMinSide = 12;          // never smaller than this, in pixels
constexpr int kSymbolGap = 4;         // between the symbol and the text
constexpr int kRightMargin = 4;       // after the text, at the window's edge
constexpr qsizetype kShownChars = 32; // of a name or reason in the bar; the tooltip has all of it
const QColor kVerifiedGreen(40, 150, 60);
const QColor kWarningAmber(235, 160, 20);

// The shackle: an arch over the body, its right leg lifted out when the lock is open.
void drawShackle(QPainter& p, bool open) {
    QPainterPath path;
    const qreal left = 5, right = 11, top = 2.5, legBottom = 7.5;
    const qreal lift = open ? 2.5 : 0;
    path.moveTo(left, legBottom);
    path.lineTo(left, top + 3 - lift);
    path.arcTo(QRectF(left, top - lift, right - left, 6), 180, -180);
    path.lineTo(right, open ? top + 3.5 - lift : legBottom);
    p.drawPath(path);
}

void drawLock(QPainter& p, Protection level, const QColor& ink) {
    const QRectF body(3, 7, 10, 7.5);
    p.setPen(QPen(ink, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    drawShackle(p, level == Protection::Plain);
    if (level == Protection::Verified) {
        p.setPen(Qt::NoPen);
        p.setBrush(kVerifiedGreen);
        p.drawRoundedRect(body, 1.5, 1.5);
        p.setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF({QPointF(5.5, 10.8), QPointF(7.4, 12.6), QPointF(10.6, 9)}));
        return;
    }
    if (level == Protection::Plain) { // an outline only: nothing is locked
        p.setPen(QPen(ink, 1.4));
        p.drawRoundedRect(body.adjusted(0.7, 0.7, -0.7, -0.7), 1.2, 1.2);
        return;
    }
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawRoundedRect(body, 1.5, 1.5);
}

// A triangle in amber with a dark mark: both show on a light and on a dark ground.
void drawWarning(QPainter& p) {
    const QPolygonF triangle({QPointF(8, 1), QPointF(15.2, 14.5), QPointF(0.8, 14.5)});
    p.setPen(QPen(kWarningAmber.darker(130), 1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(kWarningAmber);
    p.drawPolygon(triangle);
    p.setPen(QPen(Qt::black, 1.8, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(8, 5.5), QPointF(8, 9.8));
    p.drawPoint(QPointF(8, 12.3));
}
} // namespace

EncryptionLock::EncryptionLock(QWidget* parent) : QLabel(parent) {
    setAccessibleName(QStringLiteral("Encryption"));
    keepRoomForSymbol();
    setSecurity(ChannelSecurity{});
}

// The symbol grows with the font, so the text moves over when the font changes.
void EncryptionLock::keepRoomForSymbol() {
    setContentsMargins(symbolSide() + kSymbolGap, 0, kRightMargin, 0);
}

void EncryptionLock::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        keepRoomForSymbol();
}

int EncryptionLock::symbolSide() const {
    return std::max(kMinSide, std::min(fontMetrics().height(), int(kUnits)));
}

void EncryptionLock::setSecurity(const ChannelSecurity& security) {
    security_ = security;
    const QString whole = protectionText(security);
    setText(protectionText(security, kShownChars));
    setToolTip(whole);
    setAccessibleDescription(whole);
    update();
}

void EncryptionLock::paintEvent(QPaintEvent* event) {
    QLabel::paintEvent(event);
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const int side = symbolSide();
    p.translate(0, (height() - side) / 2.0);
    p.scale(side / kUnits, side / kUnits);
    if (security_.level == Protection::Warning)
        drawWarning(p);
    else
        drawLock(p, security_.level, palette().color(foregroundRole()));
}
