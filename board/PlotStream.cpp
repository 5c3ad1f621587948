// The plot stream. The pump sends the first queued PlotRecord on the plot channel each 2 ms tick
// and removes it once sent; the plot listener paints each record it receives as a 2 x 2 square.
//
// The tick only hands the record to the plot client, whose send, disconnect and reconnect run on
// the network thread; the record leaves the queue when the client reports back. While a record is
// on its way no further tick takes one, so records go out one at a time in order. A tick that finds
// a record on its way is not lost but served as soon as that record is done: a round trip that runs
// past the next tick then costs that tick's wait only, not a whole further period, and the queue
// still drains at one record per tick at the most.
//
// The pump timer runs only while there is work: records waiting, no stroke being drawn and the
// plot client connected. It stops itself when the queue runs empty or the client is found
// disconnected, and is woken when a stroke ends or a connection step finishes, so an idle copy
// is not woken 500 times a second for nothing.

#include "app/MainForm.h"

#include "board/BoardView.h"
#include "board/PlotRecord.h"
#include "common/AnsiText.h"
#include "common/GuiThread.h"

#include <QTimer>

#include <utility>

void TForm1::wakePlotPump() {
    if (!StrokeActive && !PlotQueue.empty() && Plot_Client->Connected() && !Timer2->isActive())
        Timer2->start();
}

void TForm1::Timer2Timer() {
    if (plotInFlight_) {
        plotTickOwed_ = true;
        return;
    }
    if (!Plot_Client->Connected() || PlotPumpBusy) {
        Timer2->stop(); // records wait until a stroke ends or a connection step wakes the pump
        return;
    }
    PlotPumpBusy = true;
    if (!PlotQueue.empty()) {
        const QString record = PlotQueue.front();
        const quint64 generation = plotQueueGeneration_;
        plotInFlight_ = true;
        // The tick's look at the client may be stale by the time the record's turn comes: going
        // offline may have closed it meanwhile, and reconnecting then would put it back online.
        Plot_Client->send({{ansi::encode(record)}, true},
                          [this, generation](int sent) { plotSendDone(generation, sent >= 0); });
    } else {
        Timer2->stop();
    }
    PlotPumpBusy = false;
}

// The record sent is removed whether or not it arrived; a queue emptied meanwhile (a clear or a
// Connect) is left as it is. A record the client did not send, because it had been closed
// meanwhile, stays first in the queue.
void TForm1::plotSendDone(quint64 queueGeneration, bool sent) {
    plotInFlight_ = false;
    if (sent && queueGeneration == plotQueueGeneration_ && !PlotQueue.empty())
        PlotQueue.pop_front();
    // The owed tick counts only while the pump runs: a stroke begun meanwhile has stopped it.
    const bool owed = std::exchange(plotTickOwed_, false);
    if (PlotQueue.empty() || !Plot_Client->Connected())
        Timer2->stop();
    else if (owed && Timer2->isActive())
        guarded([this] { Timer2Timer(); });
}

// The channel's shape keeps the first line only.
void TForm1::Plot_ServerAccept(TTcpServer*, const LineMessage& message) {
    const std::optional<PlotPoint> point = parsePlotRecord(ansi::decode(message.lines.first()));
    if (!point)
        return;
    board->paintSquare(point->x, point->y, static_cast<quint32>(point->color));
    Image2->squarePainted(point->x, point->y);
}
