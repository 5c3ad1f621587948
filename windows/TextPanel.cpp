#include "windows/TextPanel.h"

#include <QElapsedTimer>
#include <QFontMetrics>
#include <QPainter>
#include <QTimer>
#include <QtMath>

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace {
// Gap between the panel's sides and the text of each line.
constexpr int kTextMargin = 3;
// The line height is that of this letter in the text font.
const QString kMeasuredLetter = QStringLiteral("W");
} // namespace

QList<TextPanelLine> textPanelLines(int topIndex, int scrollOffset, int lineHeight, int height,
                                    int itemCount) {
    QList<TextPanelLine> lines;
    if (itemCount <= 0)
        return lines;
    const int visibleLines = lineHeight > 0 ? height / lineHeight : 0;
    int base = topIndex;
    int top = scrollOffset;
    for (int k = 1; k <= visibleLines + 1; ++k) {
        // Past the last item the list starts again: this line shows item 0.
        if (base + k >= itemCount)
            base = -k;
        lines.append({base + k, top});
        top += lineHeight;
    }
    return lines;
}

ScrollPosition advanceScroll(ScrollPosition at, int stepSize, int lineHeight, int itemCount) {
    at.scrollOffset -= stepSize;
    if (std::abs(at.scrollOffset) >= lineHeight) {
        at.scrollOffset += lineHeight;
        at.topIndex = itemCount > 0 ? (at.topIndex + 1) % itemCount : 0;
    }
    return at;
}

ScrollPosition advanceScrollBy(ScrollPosition at, qint64 ticks, int stepSize, int lineHeight,
                               int itemCount) {
    // With a step shorter than a line every tick moves at most one line, and after lineHeight *
    // itemCount ticks the text has moved stepSize whole rounds of the list: the same picture again.
    if (stepSize > 0 && stepSize < lineHeight && itemCount > 0 && at.scrollOffset <= 0 &&
        -at.scrollOffset < lineHeight)
        ticks %= qint64(lineHeight) * itemCount;
    for (qint64 i = 0; i < ticks; ++i)
        at = advanceScroll(at, stepSize, lineHeight, itemCount);
    return at;
}

TTextPanel::TTextPanel(QWidget* parent)
    : QFrame(parent), color_(palette().color(QPalette::Window)) {
    QElapsedTimer since;
    since.start();
    clock_ = [since] { return since.elapsed(); };
    lastTickAt_ = clock_();
    timer_ = new QTimer(this);
    timer_->setObjectName(QStringLiteral("Timer") + objectName());
    timer_->setInterval(int(interval_));
    connect(timer_, &QTimer::timeout, this, &TTextPanel::timerTick);
    // The timer runs from creation on; it only stands still until the panel is first on screen.
    pausedWhileHidden_ = true;
}

void TTextPanel::setClock(std::function<qint64()> clock) {
    clock_ = std::move(clock);
    lastTickAt_ = clock_();
}

void TTextPanel::setInterval(quint32 milliseconds) {
    interval_ = milliseconds;
    timer_->setInterval(int(milliseconds));
}

void TTextPanel::setEnableTimer(bool enable) {
    enableTimer_ = enable;
    pausedWhileHidden_ = false;
    timer_->stop();
    if (!enable)
        return;
    lastTickAt_ = clock_();
    if (isVisible())
        timer_->start(int(interval_));
    else
        pausedWhileHidden_ = true;
}

void TTextPanel::setVisible(bool visible) {
    // Ticks missed while the window was hidden count only as far as the panel was visible then.
    if (pausedWhileHidden_)
        catchUp();
    panelVisible_ = visible;
    QFrame::setVisible(visible);
}

void TTextPanel::timerTick() {
    lastTickAt_ = clock_();
    // The first tick after a resumption came after the rest of a period; the next ones keep the
    // panel's own interval.
    if (timer_->interval() != int(interval_))
        timer_->setInterval(int(interval_));
    ScrollTick();
}

void TTextPanel::catchUp() {
    const qint64 now = clock_();
    const qint64 missed = interval_ > 0 ? (now - lastTickAt_) / interval_ : 0;
    if (missed <= 0)
        return;
    lastTickAt_ += missed * interval_;
    if (!panelVisible_)
        return;
    lineHeight_ = measureLineHeight();
    position_ = advanceScrollBy(position_, missed, stepSize_, lineHeight_, int(items_.size()));
}

void TTextPanel::resumeTimer() {
    pausedWhileHidden_ = false;
    catchUp();
    const qint64 intoPeriod = clock_() - lastTickAt_;
    timer_->start(int(std::max<qint64>(0, qint64(interval_) - intoPeriod)));
}

void TTextPanel::showEvent(QShowEvent* event) {
    QFrame::showEvent(event);
    if (pausedWhileHidden_ && enableTimer_)
        resumeTimer();
}

void TTextPanel::hideEvent(QHideEvent* event) {
    QFrame::hideEvent(event);
    if (timer_->isActive()) {
        timer_->stop();
        pausedWhileHidden_ = true;
    }
}

int TTextPanel::measureLineHeight() const {
    return QFontMetrics(textFont_).size(Qt::TextSingleLine, kMeasuredLetter).height();
}

int TTextPanel::textFlags() const {
    // Under a right-to-left layout Qt swaps left and right itself and reads the lines right to
    // left; centred lines stay centred.
    const int horizontal = alignment_ == TextPanelAlignment::Left    ? Qt::AlignLeft
                           : alignment_ == TextPanelAlignment::Right ? Qt::AlignRight
                                                                     : Qt::AlignHCenter;
    return horizontal | Qt::AlignTop | Qt::TextSingleLine | Qt::TextExpandTabs;
}

QImage TTextPanel::renderFrame() {
    return renderFrame(devicePixelRatioF());
}

// The frame is laid out in the panel's own units; an image with the screen's ratio has that many
// pixels per unit, and the painter draws the text at that finer grain.
QImage TTextPanel::renderFrame(qreal devicePixelRatio) {
    lineHeight_ = measureLineHeight();
    if (items_.isEmpty())
        return {};
    QImage image(qCeil(width() * devicePixelRatio), qCeil(height() * devicePixelRatio),
                 QImage::Format_RGB32);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.fillRect(rect(), color_);
    painter.setLayoutDirection(layoutDirection());
    painter.setFont(textFont_);
    painter.setPen(textColor_);
    painter.setBackgroundMode(Qt::TransparentMode);
    const int flags = textFlags();
    const QList<TextPanelLine> lines = textPanelLines(position_.topIndex, position_.scrollOffset,
                                                      lineHeight_, height(), int(items_.size()));
    for (const TextPanelLine& line : lines) {
        const QRect box(QPoint(kTextMargin, line.top),
                        QPoint(width() - kTextMargin - 1, line.top + lineHeight_ - 1));
        painter.drawText(box, flags, items_.at(line.item));
    }
    return image;
}

void TTextPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QImage frame = renderFrame();
    if (!frame.isNull()) {
        // The frame is as large as the whole panel; its border keeps the panel's edge.
        painter.setClipRect(contentsRect());
        painter.drawImage(contentsRect().topLeft(), frame);
        painter.setClipping(false);
    }
    drawFrame(&painter);
}

void TTextPanel::ScrollTick() {
    if (!panelVisible_)
        return;
    position_ = advanceScroll(position_, stepSize_, lineHeight_, int(items_.size()));
    // Draw at once rather than at the next paint cycle.
    if (isVisible())
        repaint();
    else
        lineHeight_ = measureLineHeight();
}
