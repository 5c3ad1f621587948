// Stroke capture on the board: every mouse event of a stroke paints a 2 x 2 square in DrawColor and
// queues the same point for the peer. The pump stands still from mouse-down to mouse-up, so a
// stroke costs no network work while it is drawn.

#include "app/MainForm.h"

#include "board/BoardView.h"
#include "board/PlotRecord.h"

#include <QLabel>
#include <QTimer>

void TForm1::setDrawColor(quint32 color) {
    DrawColor = color;
    QPalette swatch = StaticText1->palette();
    swatch.setColor(QPalette::Window, QColor(platformColorToRgb(color)));
    StaticText1->setPalette(swatch);
}

void TForm1::Image2MouseDown(int x, int y) {
    StrokeActive = true;
    Timer2->stop();
    board->paintSquare(x, y, DrawColor);
    Image2->squarePainted(x, y);
    PlotQueue.push_back(formatPlotRecord(x, y, DrawColor));
}

void TForm1::Image2MouseMove(int x, int y) {
    if (!StrokeActive)
        return;
    Image2MouseDown(x, y);
}

void TForm1::Image2MouseUp(int x, int y) {
    PlotPumpBusy = false;
    StrokeActive = false;
    board->paintSquare(x, y, DrawColor);
    Image2->squarePainted(x, y);
    PlotQueue.push_back(formatPlotRecord(x, y, DrawColor));
    wakePlotPump();
}

void TForm1::Button6Click() {
    board->clear(Image2->width(), Image2->height());
    Image2->update();
    PlotQueue.clear();
    ++plotQueueGeneration_;
}

void TForm1::SpeedButton3Click() {
    const std::optional<quint32> chosen = dialogs_.chooseColor(lastDialogColor_);
    if (!chosen)
        return;
    lastDialogColor_ = *chosen;
    setDrawColor(*chosen);
}

void TForm1::FitBoardToView() {
    if (!board)
        return;
    board->fitToView(Image2->width(), Image2->height());
    Image2->update();
}

void TForm1::Timer3Timer() {
    FitBoardToView();
}

void TForm1::FormResize() {
    FitBoardToView();
}
