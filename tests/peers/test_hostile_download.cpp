// A raw-socket peer against a running copy's download listener: only files this copy asked for,
// from its peer, are written; headers, connection counts and stalls are bounded; a file that
// cannot be written never brings the copy down.

#include "support/PeerStandIns.h"
#include "support/TwoCopies.h"

#include "trade/FileHeader.h"

#include <QDir>
#include <QHostAddress>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>

#include <gtest/gtest.h>

#include <memory>

namespace {
constexpr int kShortStallMs = 300;
const QString kLoopback = QStringLiteral("127.0.0.1");

QByteArray fileOnWire(const QByteArray& name, const QByteArray& body) {
    return encodeFileHeader(name, body.size()) + body;
}

// A copy online and connected to stand-in line listeners on 127.0.0.1.
struct ConnectedCopy {
    StandInPeer peer;
    std::unique_ptr<Copy> copy;
    TForm1& form() { return *copy->form; }
    explicit ConnectedCopy(bool connect = true) {
        auto [local, remote] = freePortSets();
        copy = makeCopy(local, peer.aimedAt(remote), "Vera");
        goOnline(form());
        if (connect)
            connectTo(form(), kLoopback);
    }
    // A connection attempt to the download listener, which may close it at once; from the
    // stranger's address when asked.
    std::unique_ptr<QTcpSocket> knock(bool fromStranger = false) {
        auto socket = std::make_unique<QTcpSocket>();
        if (fromStranger) {
            EXPECT_TRUE(socket->bind(QHostAddress(QString::fromLatin1(kStrangerAddress))));
        }
        socket->connectToHost(kLoopback, form().DownloadServer->boundPort());
        return socket;
    }
    std::unique_ptr<QTcpSocket> sender(bool fromStranger = false) {
        auto socket = knock(fromStranger);
        EXPECT_TRUE(waitUntil([&] { return socket->state() == QAbstractSocket::ConnectedState; }));
        return socket;
    }
    // Every file of the save folder, hidden ones (partial files) included.
    QStringList saved() const {
        return QDir(copy->saveFolder()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }
    bool logHas(const QString& part) const { return form().Memo1->toPlainText().contains(part); }
    int logLinesWith(const QString& part) const {
        return int(form().Memo1->toPlainText().split('\n').filter(part).size());
    }
    const TForm1& form() const { return *copy->form; }
};

void send(QTcpSocket& socket, const QByteArray& bytes) {
    socket.write(bytes);
    ASSERT_TRUE(waitUntil([&] { return socket.bytesToWrite() == 0; }));
}

bool closedByPeer(QTcpSocket& socket) {
    return waitUntil([&] { return socket.state() == QAbstractSocket::UnconnectedState; });
}
} // namespace

TEST(HostilePeer, AFileLargerThanItsListingSaidIsRefusedAndNothingKept) {
    ConnectedCopy c;
    c.form().resetAskedFiles({"photo.jpg", "small.txt"}, {5, 5});
    auto sender = c.sender();
    send(*sender, fileOnWire("photo.jpg", "six b!") + fileOnWire("small.txt", "five!"));
    ASSERT_TRUE(waitUntil([&] { return c.saved() == QStringList{"small.txt"}; }));
    EXPECT_TRUE(waitUntil([&] { return c.logLinesWith("Refused \"photo.jpg\"") == 1; }));
    EXPECT_TRUE(c.logHas("more than the 5 its listing gave"));
    EXPECT_EQ(c.saved(), QStringList{"small.txt"}); // no partial file of the refused one
}

TEST(HostilePeer, OnlyAskedFilesFromThePeerAreWrittenAndNoMoreTimesThanAsked) {
    ConnectedCopy c;
    writeTestFile(c.copy->saveFolder() + "keep.txt", "mine");
    c.form().resetAskedFiles({"wanted.txt", "keep.txt"});
    auto sender = c.sender();
    // Not asked for; asked for once but sent twice; a TotalSize below the header's own size.
    QByteArray shortHeader = encodeFileHeader("keep.txt", 0);
    qToLittleEndian<qint32>(100, shortHeader.data() + 148);
    send(*sender, fileOnWire("unasked.txt", "x") + fileOnWire("wanted.txt", "first") +
                      fileOnWire("wanted.txt", "second") + shortHeader +
                      fileOnWire("last.txt", "y"));
    // The first drop is told at once, the three that follow within its second as one summary.
    ASSERT_TRUE(waitUntil([&] { return c.logHas("3 more files dropped from 127.0.0.1"); }));
    EXPECT_EQ(readTestFile(c.copy->saveFolder() + "wanted.txt"), QByteArray("first"));
    EXPECT_EQ(readTestFile(c.copy->saveFolder() + "keep.txt"), QByteArray("mine"));
    EXPECT_EQ(c.saved(), (QStringList{"keep.txt", "wanted.txt"}));
    EXPECT_TRUE(c.logHas("\"unasked.txt\""));
    // The refusals came from the peer, so the trade goes on: the next file is asked for.
    EXPECT_TRUE(waitUntil([&] { return !c.peer.trade.received().isEmpty(); }));

    // While not connected, a file from anywhere is dropped and asks for nothing.
    ConnectedCopy offline(false);
    offline.form().resetAskedFiles({"wanted.txt"});
    auto stranger = offline.sender();
    send(*stranger, fileOnWire("wanted.txt", "spoof"));
    ASSERT_TRUE(waitUntil([&] { return offline.logHas("\"wanted.txt\""); }));
    EXPECT_TRUE(offline.saved().isEmpty());
    EXPECT_FALSE(offline.form().Timer1->isActive());
}

TEST(HostilePeer, OtherAddressesAndAFifthConnectionAreClosedAtAccept) {
    ConnectedCopy c;
    std::vector<std::unique_ptr<QTcpSocket>> senders;
    for (int i = 0; i < TServerSocket::kMaxConnections; ++i)
        senders.push_back(c.sender());
    ASSERT_TRUE(waitUntil([&] {
        return c.form().DownloadServer->connectionCount() == TServerSocket::kMaxConnections;
    }));
    auto fifth = c.knock();
    EXPECT_TRUE(closedByPeer(*fifth));
    senders.clear();
    ASSERT_TRUE(waitUntil([&] { return c.form().DownloadServer->connectionCount() == 0; }));

    // Connected to 127.0.0.1, the copy takes nothing from another address.
    auto stranger = c.knock(true);
    EXPECT_TRUE(closedByPeer(*stranger));
    EXPECT_EQ(c.form().DownloadServer->connectionCount(), 0);
}

TEST(HostilePeer, AFloodOfRefusedHeadersIsCutAndToldInAFewLines) {
    ConnectedCopy c(false); // online, not connected: anyone may send
    const QString stranger = QString::fromLatin1(kStrangerAddress);
    constexpr int kFloods = 2;
    for (int i = 0; i < kFloods; ++i) {
        auto flood = c.sender(true);
        flood->write(QByteArray(1024 * 1024, '\0')); // some 6 900 headers that fail the marker
        EXPECT_TRUE(closedByPeer(*flood));
    }
    // Each connection was cut after a few refusals; the log tells them in a line and summaries.
    const int refusals = kFloods * (kMaxDroppedInARow + 1);
    const auto told = [&] {
        int count = c.logLinesWith("Dropped a file from " + stranger);
        const QRegularExpression summary("^(\\d+) more files dropped from " +
                                         QRegularExpression::escape(stranger) + "$");
        for (const QString& line : c.form().Memo1->toPlainText().split('\n'))
            if (const auto match = summary.match(line); match.hasMatch())
                count += match.captured(1).toInt();
        return count;
    };
    EXPECT_TRUE(waitUntil([&] { return told() == refusals; }));
    EXPECT_EQ(c.logLinesWith("Dropped a file from " + stranger), 1);
    EXPECT_LE(c.logLinesWith(stranger), 3);
}

TEST(HostilePeer, AFileThatCannotBeWrittenAndASenderThatHangsUpDoNotCrash) {
    ConnectedCopy c;
    // The error box runs its own event loop, as a real one does, while the sender hangs up.
    auto sender = c.sender();
    QTcpSocket* raw = sender.get();
    FormDialogs dialogs;
    QStringList errors;
    dialogs.showError = [&](const QString& text) {
        errors << text;
        raw->abort();
        waitUntil([&] { return c.form().DownloadServer->connectionCount() == 0; });
    };
    c.form().setDialogs(dialogs);
    c.form().Edit1->setText(c.copy->folder.path() + "/missing/");
    c.form().resetAskedFiles({"big.bin"});
    send(*sender, fileOnWire("big.bin", QByteArray(4096, 'b')));
    ASSERT_TRUE(waitUntil([&] { return !errors.isEmpty(); }));
    EXPECT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains("big.bin")) << errors[0].toStdString();
    EXPECT_FALSE(c.form().Timer1->isActive());
    EXPECT_TRUE(waitUntil([&] { return c.form().DownloadServer->connectionCount() == 0; }));
    c.copy->form.reset(); // closed while what its error box uses still exists
}

TEST(HostilePeer, AConnectionStalledMidFileIsCutAndItsPartialFileRemoved) {
    ConnectedCopy c;
    c.form().DownloadServer->setStallMs(kShortStallMs);
    c.form().resetAskedFiles({"slow.bin"});
    auto sender = c.sender();
    // Idle between files is normal; a stop in the middle of one is not.
    send(*sender, fileOnWire("slow.bin", QByteArray(10000, 's')).left(5000));
    ASSERT_TRUE(waitUntil([&] { return c.logHas("\"slow.bin\""); }));
    EXPECT_TRUE(closedByPeer(*sender));
    EXPECT_TRUE(c.saved().isEmpty()) << c.saved().join(',').toStdString();

    // A partial file that a crash left behind goes when the copy next goes online; other files,
    // hidden or not, stay.
    goOnline(c.form()); // offline
    const QStringList planted = {".vorlax-a1B2c3.part", ".hidden.part", "vorlax-a1B2c3.part"};
    for (const QString& name : planted)
        writeTestFile(c.copy->saveFolder() + name, "left");
    goOnline(c.form());
    EXPECT_EQ(c.saved(), (QStringList{".hidden.part", "vorlax-a1B2c3.part"}));
}
