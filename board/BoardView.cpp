#include "board/BoardView.h"

#include "board/Board.h"
#include "common/GuiThread.h"

#include <QMouseEvent>
#include <QPainter>
#include <QThread>

#include <algorithm>

BoardView::BoardView(std::function<TBoard*()> board, QWidget* parent)
    : QWidget(parent), board_(std::move(board)) {
    setMouseTracking(true); // moves without a button still reach the handler (it ignores them)
    setAttribute(Qt::WA_OpaquePaintEvent);
}

namespace {
constexpr int kSquareSide = 2;
// Received points may lie anywhere in the 32-bit range; far-off ones are clamped so the rectangle's
// arithmetic cannot overflow (nothing is visible there anyway).
constexpr int kFarOff = 1 << 24;
} // namespace

void BoardView::squarePainted(int x, int y) {
    const QRect square(std::clamp(x, -kFarOff, kFarOff), std::clamp(y, -kFarOff, kFarOff),
                       kSquareSide, kSquareSide);
    if (QThread::currentThread() == thread())
        update(square);
    else
        postTo(this, [this, square] { update(square); });
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
