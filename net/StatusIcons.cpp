#include "net/StatusIcons.h"

#include <QColor>
#include <QPainter>
#include <QRadialGradient>
#include <QtMath>

#include <array>

namespace {

// Base colours of the three balls, in status index order.
const std::array<QColor, kStatusIconCount> kBallColours = {
    QColor(220, 30, 30), QColor(240, 200, 20), QColor(30, 180, 40)};

constexpr qreal kMargin = 1.0;         // transparent border around the ball
constexpr qreal kHighlightShift = 0.3; // highlight centre, as a fraction of the radius up-left
constexpr int kShadeDarker = 160;      // QColor::darker factor of the ball's rim
constexpr int kHighlightLighter = 180; // QColor::lighter factor of the highlight
constexpr qreal kBaseStop = 0.45;      // gradient position where the plain base colour sits

const std::array<const char*, kStatusIconCount> kStateTexts = {"Offline", "Online", "Connected"};

} // namespace

QImage statusBall(int index, qreal devicePixelRatio) {
    if (index < 0 || index >= kStatusIconCount)
        return {};
    // Painted in the ball's own 16 x 16 units onto an image with the screen's ratio: the painter
    // scales, and the edge is smoothed at the screen's own pixels.
    const int side = qCeil(kStatusIconSize * devicePixelRatio);
    QImage image(side, side, QImage::Format_ARGB32);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::transparent);

    const QColor base = kBallColours[index];
    const QRectF ball(kMargin, kMargin, kStatusIconSize - 2 * kMargin,
                      kStatusIconSize - 2 * kMargin);
    const qreal radius = ball.width() / 2;
    const QPointF highlight = ball.center() - QPointF(radius, radius) * kHighlightShift;

    // Light falls from the upper left: a bright spot there, the base colour over most of the ball
    // and a darker rim.
    QRadialGradient shading(ball.center(), radius, highlight);
    shading.setColorAt(0.0, base.lighter(kHighlightLighter));
    shading.setColorAt(kBaseStop, base);
    shading.setColorAt(1.0, base.darker(kShadeDarker));

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(shading);
    painter.drawEllipse(ball);
    painter.end();
    return image;
}

QString statusBallText(int index, const QStringList& notListening) {
    if (index < 0 || index >= kStatusIconCount)
        return {};
    const QString state = QString::fromLatin1(kStateTexts[index]);
    if (index == kStatusOffline || notListening.isEmpty())
        return state;
    return QStringLiteral("%1, but not listening on: %2").arg(state, notListening.join(", "));
}
