// Files travel on the download channel as a 152-byte header and the file's bytes; the downloader
// writes them into its save folder and asks for the next file on the trade channel.

#include "support/PeerStandIns.h"
#include "support/TwoCopies.h"

#include "net/TcpChannel.h"
#include "trade/FileHeader.h"

#include <QBuffer>
#include <QDir>
#include <QProgressBar>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTimer>

#include <gtest/gtest.h>

#include <mutex>

namespace {
constexpr int kTransferWaitMs = 20000;
constexpr int kTestPauseMs = 10;
const QByteArray kSendNextFileLine("\xA7\xA7-SendNextFile-\xA7\xA7");

// Starts the uploads of names as an agreed trade does: the files were offered and asked for, the
// user agreed.
void startUploads(Copy& uploader, Copy* downloader, const QList<QByteArray>& names) {
    if (downloader)
        downloader->form->resetAskedFiles(names);
    std::vector<OfferedFiles::Entry> offer;
    for (const QByteArray& name : names)
        offer.push_back({name, uploader.tradeFolder() + QString::fromUtf8(name)});
    uploader.form->offeredFiles.reset(offer);
    uploader.form->agreement.acceptanceSent(uploader.form->agreement.round());
    uploader.form->SendQueue = names;
    uploader.form->UploadNextFile();
}

CopyPair transferPair() {
    CopyPair pair = connectedPair();
    pair.a->form->uploadPauseMs = kTestPauseMs;
    pair.b->form->uploadPauseMs = kTestPauseMs;
    return pair;
}

// Stands in for one of the peer's line listeners and counts the next-file requests.
struct RawListener {
    RecordingListener recorder;
    QString port() const { return recorder.port(); }
    int requests() {
        int count = 0;
        for (const QList<QByteArray>& message : recorder.received())
            count += message.first() == kSendNextFileLine ? 1 : 0;
        return count;
    }
};

QByteArray fileOnWire(const QByteArray& name, const QByteArray& body) {
    return encodeFileHeader(name, body.size()) + body;
}

void sendRaw(QTcpSocket& socket, const QByteArray& bytes) {
    socket.write(bytes);
    ASSERT_TRUE(waitUntil([&] { return socket.bytesToWrite() == 0; }));
}
} // namespace

TEST(Transfer, QueuedFilesArriveByteIdenticalOneAfterTheOtherAndAreAnnounced) {
    CopyPair pair = transferPair();
    Copy& a = *pair.a;
    Copy& b = *pair.b;
    const QByteArray big = randomBytes(1024 * 1024);
    writeTestFile(b.tradeFolder() + "x.bin", big);
    writeTestFile(b.tradeFolder() + "empty.dat", {});
    writeTestFile(b.tradeFolder() + "z.txt", "third");

    // The second and third files go only after A has asked for the next one on the trade channel.
    startUploads(b, &a, {"x.bin", "empty.dat", "z.txt"});
    ASSERT_TRUE(
        waitUntil([&] { return QFile::exists(a.saveFolder() + "z.txt"); }, kTransferWaitMs));
    EXPECT_EQ(readTestFile(a.saveFolder() + "x.bin"), big);
    EXPECT_EQ(readTestFile(a.saveFolder() + "empty.dat"), QByteArray());
    EXPECT_EQ(readTestFile(a.saveFolder() + "z.txt"), QByteArray("third"));
    EXPECT_TRUE(b.form->SendQueue.isEmpty());

    for (const QString name : {"x.bin", "empty.dat", "z.txt"}) {
        const QString path = b.tradeFolder() + name;
        EXPECT_TRUE(waitUntil([&] { return logHas(a, "Download: " + path); }))
            << path.toStdString();
        EXPECT_TRUE(logHas(b, "Upload: " + path)) << path.toStdString();
    }
    EXPECT_EQ(QDir(a.saveFolder()).entryList(QDir::Files).size(), 3);
    EXPECT_TRUE(a.errors.isEmpty()) << a.errors.join('|').toStdString();
    EXPECT_TRUE(b.errors.isEmpty()) << b.errors.join('|').toStdString();
}

TEST(Transfer, AMissingFileIsReportedAndHaltsTheTransfer) {
    CopyPair pair = transferPair();
    Copy& a = *pair.a;
    Copy& b = *pair.b;
    writeTestFile(b.tradeFolder() + "later.txt", "later");
    startUploads(b, &a, {"gone.txt", "later.txt"});
    ASSERT_TRUE(waitUntil([&] { return !b.messages.isEmpty(); }));
    EXPECT_EQ(b.messages, QStringList{"File does not exists."});
    const QString path = b.tradeFolder() + "gone.txt";
    EXPECT_TRUE(waitUntil([&] { return logHas(a, "Download: " + path); }));
    EXPECT_TRUE(logHas(b, "Upload: " + path));
    // Nothing reached A, so A never asks for the next file; "later.txt" waits for a new start.
    EXPECT_EQ(b.form->SendQueue, QList<QByteArray>{"later.txt"});
    EXPECT_FALSE(a.form->Timer1->isActive());
    EXPECT_TRUE(QDir(a.saveFolder()).isEmpty());

    b.form->UploadNextFile();
    EXPECT_TRUE(waitUntil([&] { return readTestFile(a.saveFolder() + "later.txt") == "later"; },
                          kTransferWaitMs));
}

TEST(Transfer, ReceiverGathersSplitHeadersSkipsRefusedFilesAndDropsCutOffOnes) {
    RawListener chat, trade, plot;
    auto [local, remote] = freePortSets();
    remote.chat = chat.port();
    remote.trade = trade.port();
    remote.plot = plot.port();
    auto copy = makeCopy(local, remote, "Dora");
    TForm1& f = *copy->form;
    goOnline(f);
    connectTo(f, "127.0.0.1");
    ASSERT_EQ(f.statusIconIndex, 2);
    f.resetAskedFiles({"first.txt", "foreign.txt", "..", "last.txt", "cut.bin"});

    QTcpSocket sender;
    sender.connectToHost("127.0.0.1", f.DownloadServer->boundPort());
    ASSERT_TRUE(waitUntil([&] { return sender.state() == QAbstractSocket::ConnectedState; }));
    // A header arriving in two parts, then on the same connection a file with a foreign marker
    // and one whose name would leave the save folder (both received and dropped), then a good one.
    const QByteArray first = fileOnWire("first.txt", "one");
    sendRaw(sender, first.left(100));
    sendRaw(sender, first.mid(100));
    QByteArray foreign = fileOnWire("foreign.txt", "xx");
    foreign[1] = 'n';
    sendRaw(sender, foreign + fileOnWire("..", "bad") + fileOnWire("..\\up.txt", "bad") +
                        fileOnWire("last.txt", "end"));
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(copy->saveFolder() + "last.txt"); }));
    EXPECT_EQ(readTestFile(copy->saveFolder() + "first.txt"), QByteArray("one"));
    EXPECT_EQ(readTestFile(copy->saveFolder() + "last.txt"), QByteArray("end"));
    EXPECT_EQ(QDir(copy->saveFolder()).entryList(QDir::Files),
              (QStringList{"first.txt", "last.txt"}));
    EXPECT_FALSE(QFile::exists(copy->folder.path() + "/up.txt"));
    EXPECT_TRUE(waitUntil([&] { return trade.requests() >= 1; }));
    EXPECT_TRUE(waitUntil([&] { return !f.Timer1->isActive(); }));

    // A sender that closes mid-file leaves nothing behind and asks for nothing.
    const int requestsBefore = trade.requests();
    sendRaw(sender, fileOnWire("cut.bin", QByteArray(5000, 'c')).left(3000));
    sender.disconnectFromHost();
    ASSERT_TRUE(waitUntil([&] { return f.DownloadServer->connectionCount() == 0; }));
    EXPECT_FALSE(f.Timer1->isActive());
    EXPECT_FALSE(QFile::exists(copy->saveFolder() + "cut.bin"));
    EXPECT_EQ(trade.requests(), requestsBefore);
}

TEST(Transfer, ClosingTheWindowCutsAnUploadPauseShort) {
    auto [local, remote] = freePortSets();
    auto copy = makeCopy(local, remote, "Emil");
    writeTestFile(copy->tradeFolder() + "x.bin", "x");
    copy->form->uploadPauseMs = 10 * 60 * 1000;
    startUploads(*copy, nullptr, {"x.bin"});
    QElapsedTimer closing;
    closing.start();
    copy->form.reset();
    EXPECT_LT(closing.elapsed(), kDefaultWaitMs);
}

namespace {
qint64 residentBytes() {
    QFile status("/proc/self/status");
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong() * 1024;
    return 0;
}

QProgressBar* transferBar(const Copy& copy) {
    return copy.form->findChild<QProgressBar*>("TransferBar");
}
} // namespace

#ifdef __SANITIZE_ADDRESS__
// The address sanitizer keeps freed blocks resident for a while, so the process's size says nothing
// about what the program holds.
constexpr bool kResidentMemoryIsMeasurable = false;
#else
constexpr bool kResidentMemoryIsMeasurable = true;
#endif

TEST(Transfer, ALargeFileStreamsWithBoundedMemoryAndProgressOnBothEnds) {
    constexpr qint64 kFileBytes = 64 * 1024 * 1024; // far beyond any piece or socket buffer
    constexpr qint64 kMemoryBound = 32 * 1024 * 1024;
    CopyPair pair = transferPair();
    Copy& a = *pair.a;
    Copy& b = *pair.b;
    const QByteArray block = randomBytes(1024 * 1024);
    {
        QFile file(b.tradeFolder() + "big.bin");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        for (qint64 i = 0; i < kFileBytes / block.size(); ++i)
            file.write(block);
    }
    const qint64 idle = residentBytes();
    qint64 peak = idle;
    int sentPercent = 0, receivedPercent = 0;
    startUploads(b, &a, {"big.bin"});
    ASSERT_TRUE(waitUntil(
        [&] {
            peak = std::max(peak, residentBytes());
            for (auto [copy, percent] : {std::pair{&a, &receivedPercent}, {&b, &sentPercent}})
                if (transferBar(*copy)->isVisible())
                    *percent = std::max(*percent, transferBar(*copy)->value());
            return QFile(a.saveFolder() + "big.bin").size() == kFileBytes && sentPercent == 100 &&
                   receivedPercent == 100;
        },
        kTransferWaitMs * 3));
    if (kResidentMemoryIsMeasurable) {
        EXPECT_LT(peak - idle, kMemoryBound);
    }
    QFile received(a.saveFolder() + "big.bin");
    ASSERT_TRUE(received.open(QIODevice::ReadOnly));
    for (qint64 i = 0; i < kFileBytes / block.size(); ++i)
        ASSERT_EQ(received.read(block.size()), block) << "at MiB " << i;
    EXPECT_EQ(QDir(a.saveFolder()).entryList(QDir::Files | QDir::Hidden), QStringList{"big.bin"});
    // A received file has the rights of any file its user makes, not a temporary file's private
    // ones.
    QFile plain(a.saveFolder() + "plain");
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    EXPECT_EQ(received.permissions(), plain.permissions());
    plain.remove();
    EXPECT_TRUE(transferBar(a)->accessibleName() == "Transfer");
    EXPECT_TRUE(
        waitUntil([&] { return !transferBar(a)->isVisible() && !transferBar(b)->isVisible(); }));
}

TEST(Transfer, AFileShorterThanAnnouncedCutsTheConnectionAndALongerOneIsCutToSize) {
    CopyPair pair = transferPair();
    Copy& a = *pair.a;
    Copy& b = *pair.b;
    a.form->resetAskedFiles({"short.bin", "long.bin"});
    auto buffer = [](const QByteArray& bytes) {
        auto device = std::make_unique<QBuffer>();
        device->setData(bytes);
        device->open(QIODevice::ReadOnly);
        return device;
    };
    ASSERT_TRUE(b.form->DownloadClient->SendFile(encodeFileHeader("short.bin", 5000),
                                                 buffer(QByteArray(3000, 's')), 5000));
    ASSERT_TRUE(waitUntil([&] {
        return logHas(a, QStringLiteral(
                             "Download of \"short.bin\" broke off; the partial file was removed."));
    }));
    EXPECT_TRUE(QDir(a.saveFolder()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    // The next file goes on a fresh connection and only its announced bytes are sent.
    ASSERT_TRUE(waitUntil(
        [&] { return !b.form->DownloadClient->Sending() && b.form->DownloadClient->Connected(); }));
    ASSERT_TRUE(
        b.form->DownloadClient->SendFile(encodeFileHeader("long.bin", 4), buffer("abcdEXTRA"), 4));
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(a.saveFolder() + "long.bin"); }));
    EXPECT_EQ(readTestFile(a.saveFolder() + "long.bin"), QByteArray("abcd"));
}

TEST(Transfer, ARefusedConnectAndAPeerGoingOfflineShowNoErrorBox) {
    auto [local, remote] = freePortSets();
    auto copy = makeCopy(local, remote, "Olga"); // nothing listens on the remote ports
    goOnline(*copy->form);
    connectTo(*copy->form, "127.0.0.1");
    EXPECT_EQ(copy->form->statusIconIndex, 1);
    EXPECT_FALSE(waitUntil([&] { return !copy->errors.isEmpty(); }, 1000))
        << copy->errors.join('|').toStdString();

    CopyPair pair = connectedPair();
    clickAndSettle(*pair.b->form, pair.b->form->BitBtn18); // b goes offline
    EXPECT_FALSE(waitUntil([&] { return !pair.a->errors.isEmpty(); }, 1000))
        << pair.a->errors.join('|').toStdString();
}

TEST(Transfer, ClosingMidDownloadEndsAtOnceAndLeavesNoPartialFile) {
    CopyPair pair = transferPair();
    Copy& a = *pair.a;
    a.form->resetAskedFiles({"half.bin"});
    QTcpSocket sender;
    sender.connectToHost("127.0.0.1", a.form->DownloadServer->boundPort());
    ASSERT_TRUE(waitUntil([&] { return sender.state() == QAbstractSocket::ConnectedState; }));
    sendRaw(sender, fileOnWire("half.bin", QByteArray(200000, 'h')).left(100000));
    ASSERT_TRUE(waitUntil([&] { return transferBar(a)->isVisible(); })); // being written
    QElapsedTimer closing;
    closing.start();
    a.form->close();
    EXPECT_LT(closing.elapsed(), 1000);
    EXPECT_TRUE(QDir(a.saveFolder()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}
