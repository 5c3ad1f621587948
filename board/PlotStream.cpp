// The plot stream. The pump sends the first queued PlotRecord on the plot channel each 2 ms tick
// and removes it once sent; the plot listener paints each record it receives as a 2 x 2 square.
//
// The tick itself stays on the GUI thread and only hands the record to the plot worker, which does
// the blocking send, disconnect and reconnect; the record leaves the queue when the worker reports
// back. While a record is on its way no further tick takes one, so records go out one at a time in
// order. A tick that finds a record on its way is not lost but served as soon as that record is
// done: a round trip that runs past the next tick then costs that tick's wait only, not a whole
// further period, and the queue still drains at one record per tick at the most.

#include "app/MainForm.h"

#include "board/BoardView.h"
#include "board/PlotRecord.h"
#include "common/AnsiText.h"
#include "common/GuiThread.h"

#include <QTimer>

#include <utility>

void TForm1::Timer2Timer() {
    if (plotInFlight_) {
        plotTickOwed_ = true;
        return;
    }
    if (!Plot_Client->Connected() || PlotPumpBusy)
        return;
    PlotPumpBusy = true;
    if (!PlotQueue.empty()) {
        const QString record = PlotQueue.front();
        const quint64 generation = plotQueueGeneration_;
        plotInFlight_ = true;
        plotWorker_->post([this, record, generation] {
            {
                auto lock = Plot_Client->lockMessage();
                Plot_Client->SendLine(record);
                Plot_Client->Disconnect();
                Plot_Client->Connect();
            }
            postTo(this, [this, generation] { plotSendDone(generation); });
        });
    }
    PlotPumpBusy = false;
}

// The record sent is removed whether or not it arrived; a queue emptied meanwhile (a clear or a
// Connect) is left as it is.
void TForm1::plotSendDone(quint64 queueGeneration) {
    plotInFlight_ = false;
    if (queueGeneration == plotQueueGeneration_ && !PlotQueue.empty())
        PlotQueue.pop_front();
    // The owed tick counts only while the pump runs: a stroke begun meanwhile has stopped it.
    const bool owed = std::exchange(plotTickOwed_, false);
    if (owed && Timer2->isActive())
        guarded([this] { Timer2Timer(); });
}

void TForm1::Plot_ServerAccept(TTcpServer*, TCustomIpClient* client) {
    const QByteArray line = client->ReceiveLine();
    if (line.isEmpty())
        return;
    const std::optional<PlotPoint> point = parsePlotRecord(ansi::decode(line));
    if (!point)
        return;
    board->paintSquare(point->x, point->y, static_cast<quint32>(point->color));
    Image2->squarePainted(point->x, point->y);
}
