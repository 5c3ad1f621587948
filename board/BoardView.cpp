#include "board/BoardView.h"

#include "board/Board.h"
#include "common/GuiThread.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <utility>

namespace {
constexpr int kFrameMs = 16; // one repaint a frame at 60 frames a second
constexpr int kSquareSide = 2;
// Received points may lie anywhere in the 32-bit range; far-off ones are clamped so the rectangle's
// arithmetic cannot overflow (nothing is visible there anyway).
constexpr int kFarOff = 1 << 24;
} // namespace

BoardView::BoardView(std::function<TBoard*()> board, QWidget* parent)
    : QWidget(parent), board_(std::move(board)) {
    setMouseTracking(true); // moves without a button still reach the handler (it ignores them)
    setAttribute(Qt::WA_OpaquePaintEvent);
    frame_.setSingleShot(true);
    frame_.setInterval(kFrameMs);
    connect(&frame_, &QTimer::timeout, this, &BoardView::flushPainted);
}

void BoardView::squarePainted(int x, int y) {
    const QRect square(std::clamp(x, -kFarOff, kFarOff), std::clamp(y, -kFarOff, kFarOff),
                       kSquareSide, kSquareSide);
    painted_ |= square;
    // One repaint per frame, not per point: a peer's flood of points never floods the window.
    if (!frame_.isActive())
        frame_.start();
}

// The squares painted since the last repaint are repainted as one rectangle around them all:
// painting the board is a single image copy, whatever the rectangle's size.
void BoardView::flushPainted() {
    update(std::exchange(painted_, QRect()));
}

void BoardView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.fillRect(event->rect(), palette().color(QPalette::Window));
    if (TBoard* board = board_())
        board->read([&](const QImage& image) { painter.drawImage(0, 0, image); });
}

void BoardView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        leftHeld_ = true;
    const QPoint p = event->position().toPoint();
    if (onMouseDown)
        onMouseDown(p.x(), p.y());
}

void BoardView::mouseMoveEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    if (!leftHeld_ && !rect().contains(p))
        return;
    if (onMouseMove)
        onMouseMove(p.x(), p.y());
}

void BoardView::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    const bool left = event->button() == Qt::LeftButton;
    if (left)
        leftHeld_ = false;
    if (!left && !rect().contains(p))
        return;
    if (onMouseUp)
        onMouseUp(p.x(), p.y());
}
