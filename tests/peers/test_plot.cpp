// The plot stream over loopback: a stroke leaves only after its mouse-up, one record per
// connection in drawing order, and arrives on a second copy's board square for square in its
// colours; received lines are painted or refused as a whole; Connect drops what is queued; a peer
// that goes away stops the pump without ever holding up the window.

#include "support/BoardProbe.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

constexpr int kDrainDeadlineMs = 20000;
constexpr int kQuietMs = 300; // how long "nothing arrives" is watched for

QList<QPoint> row(QPoint from, int step, int count) {
    QList<QPoint> points;
    for (int i = 0; i < count; ++i)
        points << from + QPoint(i * step, 0);
    return points;
}

int paintedCount(const TForm1& form, const QList<QPoint>& points, quint32 color) {
    int painted = 0;
    form.board->read([&](const QImage& image) {
        for (const QPoint& p : points)
            painted += squareHas(image, p, color);
    });
    return painted;
}

// Waits until every point shows in its colour. The order in which they show is not checked here:
// the listener paints consecutive records on workers of their own, which may overtake each other
// on a busy machine; the sending order is checked on the wire instead.
void expectAllArrive(const TForm1& form, const QList<QPoint>& points, quint32 color) {
    EXPECT_TRUE(waitUntil([&] { return paintedCount(form, points, color) == points.size(); },
                          kDrainDeadlineMs));
}

bool anyPainted(const TForm1& form, const QList<QPoint>& points, quint32 color) {
    return paintedCount(form, points, color) > 0;
}

// A plain listener standing in for the peer: it accepts every connection and keeps the bytes each
// one brought, in the order the connections were accepted.
struct RawPeer {
    QTcpServer server;
    QList<QTcpSocket*> connections; // owned by the server
    QList<QByteArray> received;

    RawPeer() { server.listen(QHostAddress::LocalHost, 0); }
    QString port() const { return QString::number(server.serverPort()); }
    void collect() {
        while (QTcpSocket* next = server.nextPendingConnection()) {
            connections << next;
            received << QByteArray();
        }
        for (qsizetype i = 0; i < connections.size(); ++i)
            received[i] += connections[i]->readAll();
    }
    QList<QByteArray> messages() {
        collect();
        QList<QByteArray> carried;
        for (const QByteArray& bytes : received)
            if (!bytes.isEmpty())
                carried << bytes;
        return carried;
    }
};

// Sends raw bytes to a plot listener on a connection of their own and waits until the listener's
// handler is done with them (it closes the connection when it returns).
void sendRaw(quint16 port, const QByteArray& bytes) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(socket.waitForConnected(5000));
    if (!bytes.isEmpty()) {
        socket.write(bytes);
        ASSERT_TRUE(socket.waitForBytesWritten(5000));
    } else {
        socket.disconnectFromHost(); // a connection that ends without data
    }
    ASSERT_TRUE(waitUntil([&] { return socket.state() == QAbstractSocket::UnconnectedState; }))
        << bytes.toStdString();
}

} // namespace

TEST(Plot, StrokeArrivesOnThePeerSquareForSquareInItsColoursAfterTheMouseUp) {
    CopyPair pair = connectedPair();
    TForm1& a = *pair.a->form;
    TForm1& b = *pair.b->form;
    ASSERT_EQ(a.board->size(), b.board->size());
    const QImage blankB = b.board->snapshot();

    a.setDrawColor(kRed);
    const QList<QPoint> red = row(QPoint(20, 30), 3, 40);
    pressOn(a.Image2, red.first());
    for (qsizetype i = 1; i + 1 < red.size(); ++i)
        moveOn(a.Image2, red[i], Qt::LeftButton);
    // Nothing leaves while the stroke is being drawn.
    EXPECT_FALSE(waitUntil([&] { return anyPainted(b, red, kRed); }, kQuietMs));
    EXPECT_EQ(a.PlotQueue.size(), size_t(red.size() - 1));
    releaseOn(a.Image2, red.last());
    expectAllArrive(b, red, kRed);

    // A second stroke in another colour, partly over the first: the later squares win on both.
    a.setDrawColor(kBlue);
    const QList<QPoint> blue = row(QPoint(21, 29), 5, 20);
    strokeOn(a.Image2, blue);
    expectAllArrive(b, blue, kBlue);
    ASSERT_TRUE(waitUntil([&] { return a.PlotQueue.empty() && !a.plotSendInFlight(); }));

    // Square for square: B's board now equals A's, and B's changes are the squares alone.
    const QImage onA = a.board->snapshot();
    const QImage onB = b.board->snapshot();
    const QRect drawn(0, 0, 200, 60);
    for (int y = drawn.top(); y <= drawn.bottom(); ++y)
        for (int x = drawn.left(); x <= drawn.right(); ++x)
            ASSERT_EQ(onA.pixel(x, y), onB.pixel(x, y)) << x << "," << y;
    EXPECT_EQ(changedPixels(blankB, onB).size(), changedPixels(blankB, onA).size());
    EXPECT_TRUE(pair.a->errors.isEmpty());
    EXPECT_TRUE(pair.b->errors.isEmpty());
}

TEST(Plot, StrokeIsSentAfterTheMouseUpInDrawingOrderOneRecordPerConnection) {
    RawPeer chat, trade, plot, download;
    const PortSet remote{chat.port(), trade.port(), plot.port(), download.port()};
    auto copy = makeCopy(freePortSets().first, remote, "Solo");
    TForm1& f = *copy->form;
    goOnline(f);
    connectTo(f, "127.0.0.1");
    ASSERT_EQ(f.statusIconIndex, 2);

    // Connected with nothing to send, the pump timer stands still.
    EXPECT_FALSE(f.Timer2->isActive());
    f.setDrawColor(kRed);
    QList<QPoint> points = row(QPoint(5, 5), 3, 30);
    points[10] = QPoint(-4, -9);
    QList<QByteArray> expected;
    for (const QPoint& p : points)
        expected << QStringLiteral("%1 %2 255\r\n").arg(p.x()).arg(p.y()).toLatin1();
    pressOn(f.Image2, points.first());
    for (qsizetype i = 1; i + 1 < points.size(); ++i)
        moveOn(f.Image2, points[i], Qt::LeftButton);
    EXPECT_FALSE(waitUntil([&] { return !plot.messages().isEmpty(); }, kQuietMs));
    EXPECT_FALSE(f.Timer2->isActive());
    releaseOn(f.Image2, points.last());
    EXPECT_TRUE(f.Timer2->isActive());

    ASSERT_TRUE(
        waitUntil([&] { return plot.messages().size() >= expected.size(); }, kDrainDeadlineMs));
    EXPECT_EQ(plot.messages(), expected);
    // Each record came on a connection of its own; the one opened after the last record waits.
    ASSERT_TRUE(waitUntil([&] {
        plot.collect();
        return plot.received.size() > expected.size() && plot.received.last().isEmpty();
    }));
    EXPECT_TRUE(waitUntil([&] { return f.PlotQueue.empty() && !f.plotSendInFlight(); }));
    // Drained: the timer stops until the next stroke.
    EXPECT_FALSE(f.Timer2->isActive());
}

TEST(Plot, StrokeBegunMidDrainHoldsTheRestUntilItsMouseUp) {
    CopyPair pair = connectedPair();
    TForm1& a = *pair.a->form;
    TForm1& b = *pair.b->form;
    QList<QPoint> first;
    for (int i = 0; i < 300; ++i)
        first << QPoint(10 + 2 * (i % 150), 10 + 2 * (i / 150));
    strokeOn(a.Image2, first);
    ASSERT_TRUE(waitUntil([&] { return a.PlotQueue.size() < 280u; }, kDrainDeadlineMs));

    pressOn(a.Image2, QPoint(50, 80));
    EXPECT_FALSE(a.Timer2->isActive());
    ASSERT_TRUE(waitUntil([&] { return !a.plotSendInFlight(); }));
    const size_t held = a.PlotQueue.size();
    EXPECT_GT(held, 1u);
    EXPECT_FALSE(waitUntil([&] { return a.PlotQueue.size() != held; }, kQuietMs));

    releaseOn(a.Image2, QPoint(54, 80));
    ASSERT_TRUE(waitUntil([&] { return a.PlotQueue.empty(); }, kDrainDeadlineMs));
    expectAllArrive(b, first, kBlack);
    EXPECT_TRUE(waitUntil([&] { return squareHas(b, QPoint(54, 80), kBlack); }));
    EXPECT_TRUE(squareHas(b, QPoint(50, 80), kBlack));
}

TEST(Plot, ReceivedLinesArePaintedWholeOrNotAtAll) {
    auto [local, remote] = freePortSets();
    auto copy = makeCopy(local, remote, "Rita");
    TForm1& f = *copy->form;
    goOnline(f);
    ASSERT_TRUE(f.Plot_Server->Listening());
    f.Timer3->stop(); // the keeper would reset the painting state
    const quint16 port = f.Plot_Server->boundPort();

    QImage before = f.board->snapshot();
    sendRaw(port, "5 7 16711680\r\n");
    QList<QPoint> changed = changedPixels(before, f.board->snapshot());
    EXPECT_EQ(changed, (QList<QPoint>{{5, 7}, {6, 7}, {5, 8}, {6, 8}}));
    EXPECT_TRUE(squareHas(f, QPoint(5, 7), kBlue));
    EXPECT_EQ(f.board->fillColor(), kBlue);
    EXPECT_EQ(f.board->outlineColor(), kBlue);

    before = f.board->snapshot();
    sendRaw(port, "-1 -1 0\r\n");
    EXPECT_EQ(changedPixels(before, f.board->snapshot()), QList<QPoint>{QPoint(0, 0)});
    EXPECT_EQ(boardPixel(f, 0, 0), platformColorToRgb(kBlack));

    sendRaw(port, "10 20 0 anything\r\n");
    EXPECT_TRUE(squareHas(f, QPoint(10, 20), kBlack));
    sendRaw(port, "30 20 255 \r\n");
    EXPECT_TRUE(squareHas(f, QPoint(30, 20), kRed));
    EXPECT_EQ(f.board->fillColor(), kRed);

    // Lines that do not convert as a whole, empty lines and empty connections change nothing.
    before = f.board->snapshot();
    for (const QByteArray& bad :
         {QByteArray("10  20 0\r\n"), QByteArray(" 10 20 0\r\n"), QByteArray("10 20\r\n"),
          QByteArray("a b c\r\n"), QByteArray("10 20 4294967296\r\n"),
          QByteArray("\r\n40 40 0\r\n"), QByteArray()}) {
        sendRaw(port, bad);
        EXPECT_TRUE(changedPixels(before, f.board->snapshot()).isEmpty()) << bad.toStdString();
        EXPECT_EQ(f.board->fillColor(), kRed) << bad.toStdString();
        EXPECT_EQ(f.board->outlineColor(), kRed) << bad.toStdString();
    }
    EXPECT_TRUE(copy->errors.isEmpty());
    EXPECT_TRUE(copy->messages.isEmpty());
    // The listener keeps accepting after all of them.
    sendRaw(port, "50 50 65280\r\n");
    EXPECT_TRUE(squareHas(f, QPoint(50, 50), 0x00FF00));
}

TEST(Plot, ConnectDropsTheQueuedRecords) {
    CopyPair pair = connectedPair();
    TForm1& a = *pair.a->form;
    TForm1& b = *pair.b->form;
    const QList<QPoint> dropped = row(QPoint(20, 40), 4, 6);
    pressOn(a.Image2, dropped.first());
    for (qsizetype i = 1; i < dropped.size(); ++i)
        moveOn(a.Image2, dropped[i], Qt::LeftButton);
    ASSERT_EQ(a.PlotQueue.size(), size_t(dropped.size()));

    clickAndSettle(a, a.BitBtn17);
    connectTo(a, "127.0.0.1");
    EXPECT_EQ(a.statusIconIndex, 2);
    EXPECT_TRUE(a.PlotQueue.empty());

    // Only the release, queued after the Connect, reaches the peer.
    releaseOn(a.Image2, QPoint(80, 60));
    ASSERT_TRUE(waitUntil([&] { return squareHas(b, QPoint(80, 60), kBlack); }, kDrainDeadlineMs));
    EXPECT_FALSE(anyPainted(b, dropped, kBlack));
    EXPECT_TRUE(waitUntil([&] { return a.PlotQueue.empty() && !a.plotSendInFlight(); }));
}

TEST(Plot, PeerGoneMidDrainStopsThePumpWithoutHoldingUpTheWindow) {
    CopyPair pair = connectedPair();
    TForm1& a = *pair.a->form;
    const PortSet bPorts{pair.b->form->Edit6->text(), pair.b->form->Edit10->text(),
                         pair.b->form->Edit15->text(), pair.b->form->Edit8->text()};
    const PortSet aPorts{a.Edit6->text(), a.Edit10->text(), a.Edit15->text(), a.Edit8->text()};
    QList<QPoint> points;
    for (int i = 0; i < 600; ++i)
        points << QPoint(10 + 2 * (i % 200), 10 + 2 * (i / 200));
    strokeOn(a.Image2, points);
    ASSERT_TRUE(waitUntil([&] { return a.PlotQueue.size() < 560u; }, kDrainDeadlineMs));

    pair.b.reset(); // the peer's window closes
    qint64 longestGap = 0;
    QElapsedTimer sinceTick;
    sinceTick.start();
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    QObject::connect(&heartbeat, &QTimer::timeout,
                     [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
    heartbeat.start(1);
    // The last record taken is on its way while the client reconnects: wait for both to settle.
    ASSERT_TRUE(waitUntil([&] { return !a.Plot_Client->Connected() && !a.plotSendInFlight(); },
                          kDrainDeadlineMs));
    // The pump takes no record while the client is not connected.
    const size_t left = a.PlotQueue.size();
    EXPECT_GT(left, 0u);
    EXPECT_FALSE(waitUntil([&] { return a.PlotQueue.size() != left; }, kQuietMs));
    EXPECT_LT(longestGap, 200);

    // A peer back on the same ports gets the waiting records once A goes online again.
    auto back = makeCopy(bPorts, aPorts, "Bert");
    goOnline(*back->form);
    goOnline(a); // offline
    EXPECT_FALSE(a.Plot_Client->Active());
    EXPECT_FALSE(a.Timer2->isActive());
    goOnline(a); // online: the plot client connects to the last peer
    ASSERT_TRUE(a.Plot_Client->Connected());
    ASSERT_TRUE(waitUntil([&] { return a.PlotQueue.empty(); }, kDrainDeadlineMs));
    EXPECT_TRUE(waitUntil([&] { return squareHas(*back->form, points.last(), kBlack); }));
}
