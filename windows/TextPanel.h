#pragma once
// TTextPanel: a panel whose lines of text scroll upward in an endless loop, like film credits. A
// timer of its own moves the text StepSize pixels per tick; after the last line the list starts
// again with the first. Each frame is drawn into an off-screen image and copied to the screen in
// one go, so the motion does not flicker.
//
// The frame rules are kept apart from the widget (textPanelLines, advanceScroll) so they can be
// checked without painting.
//
// While the panel's window is hidden its timer stands still, so a hidden Info window costs
// nothing. When the window is shown again the text first moves on by the ticks it missed, counted
// from the time passed, so it shows exactly what a panel that had kept scrolling would show.

#include <QColor>
#include <QFont>
#include <QFrame>
#include <QImage>
#include <QList>
#include <QStringList>

#include <functional>

class QTimer;

enum class TextPanelAlignment { Left, Right, Center };

// One drawn line of a frame: which item it shows and the top of its rectangle.
struct TextPanelLine {
    int item = 0;
    int top = 0;
    bool operator==(const TextPanelLine&) const = default;
};

// The lines of one frame: Height / LineHeight whole lines plus one, the first at scrollOffset
// showing item topIndex + 1; a line whose index reaches itemCount shows item 0 and the lines after
// it go on from there. No lines when itemCount is 0.
QList<TextPanelLine> textPanelLines(int topIndex, int scrollOffset, int lineHeight, int height,
                                    int itemCount);

struct ScrollPosition {
    int topIndex = 0;
    int scrollOffset = 0;
    bool operator==(const ScrollPosition&) const = default;
};

// One timer step: the text moves up by stepSize; each whole line moved drops the top line and
// advances topIndex by one item (to 0 when there are no items).
ScrollPosition advanceScroll(ScrollPosition at, int stepSize, int lineHeight, int itemCount);
// The same as `ticks` single steps.
ScrollPosition advanceScrollBy(ScrollPosition at, qint64 ticks, int stepSize, int lineHeight,
                               int itemCount);

class TTextPanel : public QFrame {
    Q_OBJECT
    Q_PROPERTY(bool panelVisible READ panelVisible)
public:
    static constexpr int kDefaultInterval = 30;
    static constexpr int kDefaultStepSize = 1;

    explicit TTextPanel(QWidget* parent = nullptr);

    QStringList Items() const { return items_; }
    void setItems(const QStringList& items) { items_ = items; }
    QFont TextFont() const { return textFont_; }
    void setTextFont(const QFont& font) { textFont_ = font; }
    QColor TextColor() const { return textColor_; }
    void setTextColor(const QColor& color) { textColor_ = color; }
    // The panel's own colour, filled behind the text.
    QColor Color() const { return color_; }
    void setColor(const QColor& color) { color_ = color; }
    quint32 Interval() const { return interval_; }
    void setInterval(quint32 milliseconds);
    int StepSize() const { return stepSize_; }
    void setStepSize(int pixels) { stepSize_ = pixels; }
    bool EnableTimer() const { return enableTimer_; }
    void setEnableTimer(bool enable);
    TextPanelAlignment TextAlignment() const { return alignment_; }
    void setTextAlignment(TextPanelAlignment alignment) { alignment_ = alignment; }

    int TopIndex() const { return position_.topIndex; }
    int ScrollOffset() const { return position_.scrollOffset; }
    int LineHeight() const { return lineHeight_; }
    QTimer* Timer() const { return timer_; }

    // The panel's own Visible setting, whatever its window's state: the text keeps scrolling while
    // the window is hidden, and stands still only when the panel itself is hidden.
    bool panelVisible() const { return panelVisible_; }
    void setVisible(bool visible) override;

    // The current frame as drawn onto the panel, at the panel's device pixel ratio (or the ratio
    // given), so its text is as sharp as any other on the screen; a null image when there are no
    // items.
    QImage renderFrame();
    QImage renderFrame(qreal devicePixelRatio);
    // The timer's handler, public so that a caller can step the text by hand.
    void ScrollTick();

    // The clock that counts the ticks missed while hidden, in milliseconds; tests put in their own.
    void setClock(std::function<qint64()> clock);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    int measureLineHeight() const;
    int textFlags() const;
    void timerTick();
    // Applies the ticks a running timer would have made since the last one.
    void catchUp();
    void resumeTimer();

    std::function<qint64()> clock_;
    qint64 lastTickAt_ = 0;
    bool pausedWhileHidden_ = false; // the timer is enabled but stands still while hidden

    QStringList items_;
    QFont textFont_;
    QColor textColor_ = Qt::black;
    QColor color_;
    quint32 interval_ = kDefaultInterval;
    int stepSize_ = kDefaultStepSize;
    bool enableTimer_ = true;
    TextPanelAlignment alignment_ = TextPanelAlignment::Left;
    ScrollPosition position_;
    int lineHeight_ = 0;
    bool panelVisible_ = true;
    QTimer* timer_ = nullptr;
};
