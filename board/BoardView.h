#pragma once
// Image2, the view of the drawing board: shows the board bitmap at its top-left corner at scale 1
// and reports mouse events in board coordinates. Any button draws; a left press holds the pointer
// until its release, other buttons report their release only over the view.

#include <QRect>
#include <QTimer>
#include <QWidget>

#include <functional>

class TBoard;

class BoardView : public QWidget {
    Q_OBJECT
public:
    BoardView(std::function<TBoard*()> board, QWidget* parent);

    std::function<void(int x, int y)> onMouseDown;
    std::function<void(int x, int y)> onMouseMove;
    std::function<void(int x, int y)> onMouseUp;

    // Asks for a repaint of the squares painted at (x, y). Requests are
    // gathered and the view is repainted once a frame at the most, however fast points come.
    void squarePainted(int x, int y);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void flushPainted();

    std::function<TBoard*()> board_;
    bool leftHeld_ = false;
    QTimer frame_;  // the next repaint of what was painted, on the GUI thread
    QRect painted_; // what was painted since the last repaint
};
