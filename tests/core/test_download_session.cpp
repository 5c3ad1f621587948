// The download channel inside an encrypted session: the listener and the client on a network
// thread, each with its own identity, on 127.0.0.1.

#include "support/Wait.h"

#include "crypto/Identity.h"
#include "crypto/TlsContext.h"
#include "net/NetworkThread.h"
#include "net/TlsSocket.h"
#include "trade/EventSockets.h"
#include "trade/FileHeader.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <fcntl.h>

namespace {
constexpr int kTransferWaitMs = 20000;
constexpr quint32 kLoopback = 0x7F000001;

struct Side {
    QTemporaryDir folder;
    std::shared_ptr<TlsContext> context;
    QByteArray key;
    Side() {
        const IdentityLoad load = loadOrCreateIdentity(folder.path());
        EXPECT_TRUE(load.identity) << load.error.toStdString();
        QString error;
        context = TlsContext::create(*load.identity, &error);
        EXPECT_TRUE(context) << error.toStdString();
        key = load.identity->fingerprint;
    }
    SessionPolicy policy(const QByteArray& expectedKey, bool refusePlain = false) const {
        return {context, expectedKey, refusePlain};
    }
};

QByteArray randomBytes(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

// A listener that takes the asked files into a save folder, and a client aimed at it.
struct Endpoints {
    QTemporaryDir save;
    Mailbox window;
    std::unique_ptr<TServerSocket> server;
    std::unique_ptr<TClientSocket> client;
    std::vector<SecurityEvent> serverEvents, clientEvents;
    std::vector<DownloadEvent> downloads;
    QStringList errors;
    NetworkThread network;

    explicit Endpoints(const SessionPolicy& serverPolicy, const QList<QByteArray>& asked) {
        server = std::make_unique<TServerSocket>(nullptr, network, window);
        client = std::make_unique<TClientSocket>(nullptr, network, window);
        QObject::connect(server.get(), &TServerSocket::securityEvent,
                         [this](const SecurityEvent& e) { serverEvents.push_back(e); });
        QObject::connect(client.get(), &TClientSocket::securityEvent,
                         [this](const SecurityEvent& e) { clientEvents.push_back(e); });
        QObject::connect(
            server.get(), &TServerSocket::clientRead,
            [this](TServerSocket*, const DownloadEvent& e) { downloads.push_back(e); });
        QObject::connect(client.get(), &TClientSocket::error,
                         [this](int, const QString& message) { errors << message; });
        AskedFiles files;
        files.reset(asked);
        server->setAskedFiles(files);
        server->setSaveFolder(save.path() + "/");
        server->setAllowedPeer(kLoopback);
        server->setSessionPolicy(serverPolicy);
        server->Open();
        EXPECT_TRUE(waitUntil([&] { return server->boundPort() != 0; }));
        client->setHost(QStringLiteral("127.0.0.1"));
        client->setPort(server->boundPort());
    }
    ~Endpoints() {
        network.stop();
        window.shut();
    }
    void open(const SessionPolicy& clientPolicy) {
        client->setSession(clientPolicy);
        client->Open();
    }
    // Sends a file whose header announces `announced` bytes (the body's size when negative).
    bool send(const QByteArray& name, const QByteArray& body, qint64 announced = -1) {
        const qint64 size = announced < 0 ? body.size() : announced;
        auto file = std::make_unique<QBuffer>();
        file->setData(body);
        file->open(QIODevice::ReadOnly);
        return client->SendFile(encodeFileHeader(name, size), std::move(file), size);
    }
    QByteArray saved(const QString& name) const {
        QFile file(save.path() + "/" + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Every file of the save folder, partial ones included.
    QStringList files() const {
        return QDir(save.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }
    int count(const std::vector<DownloadEvent>& events, DownloadEvent::Kind kind) const {
        return int(std::count_if(events.begin(), events.end(),
                                 [kind](const DownloadEvent& e) { return e.kind == kind; }));
    }
    const SecurityEvent* find(const std::vector<SecurityEvent>& events,
                              SecurityEvent::Kind kind) const {
        for (const SecurityEvent& event : events)
            if (event.kind == kind)
                return &event;
        return nullptr;
    }
    // A session of the test's own on this thread, for frames no client of this program sends.
    std::unique_ptr<TlsSocket> rawSession(const Side& side) {
        QTcpSocket plain;
        plain.connectToHost(QStringLiteral("127.0.0.1"), server->boundPort());
        EXPECT_TRUE(plain.waitForConnected(kTransferWaitMs));
        const int fd = ::fcntl(int(plain.socketDescriptor()), F_DUPFD_CLOEXEC, 0);
        plain.abort();
        TlsSocket::Settings settings{side.context, TlsEngine::Role::Client, kAlpnDownload, 0};
        auto session = std::make_unique<TlsSocket>(fd, settings, nullptr);
        bool done = false;
        session->handshakeDone = [&] { done = true; };
        EXPECT_TRUE(waitUntil([&] { return done; }, kTransferWaitMs));
        session->handshakeDone = nullptr;
        session->admit();
        return session;
    }
    bool written(int files) const {
        return count(downloads, DownloadEvent::Kind::Written) == files;
    }
};
} // namespace

TEST(DownloadSession, FilesArriveWholeOverOneSessionThatBothSidesCheckedByKey) {
    const Side receiver, sender;
    Endpoints e(receiver.policy(sender.key, true), {"one.bin", "two.txt"});
    e.open(sender.policy(receiver.key));
    const QByteArray big = randomBytes(3 * 1024 * 1024 + 17);
    ASSERT_TRUE(waitUntil([&] { return e.client->Connected(); }, kTransferWaitMs));
    ASSERT_TRUE(e.send("one.bin", big));
    ASSERT_TRUE(waitUntil([&] { return e.written(1) && !e.client->Sending(); }, kTransferWaitMs));
    ASSERT_TRUE(e.send("two.txt", "second"));
    ASSERT_TRUE(waitUntil([&] { return e.written(2); }, kTransferWaitMs));
    EXPECT_EQ(e.saved("one.bin"), big);
    EXPECT_EQ(e.saved("two.txt"), QByteArray("second"));
    EXPECT_EQ(e.files(), (QStringList{"one.bin", "two.txt"}));

    const SecurityEvent* atServer = e.find(e.serverEvents, SecurityEvent::Kind::Established);
    const SecurityEvent* atClient = e.find(e.clientEvents, SecurityEvent::Kind::Established);
    ASSERT_TRUE(atServer && atClient);
    EXPECT_EQ(atServer->key, sender.key);
    EXPECT_EQ(atServer->address, kLoopback);
    EXPECT_EQ(atClient->key, receiver.key);
    EXPECT_EQ(e.serverEvents.size(), 1u); // one session carried both files

    // Close ends the session with TLS's close: the listener sees a clean end.
    e.client->Close();
    ASSERT_TRUE(waitUntil([&] { return e.find(e.serverEvents, SecurityEvent::Kind::Ended); }));
    EXPECT_EQ(e.find(e.serverEvents, SecurityEvent::Kind::Ended)->reason, QString());
    EXPECT_TRUE(e.errors.isEmpty()) << e.errors.join('|').toStdString();
}

TEST(DownloadSession, AnotherKeyThanTheExpectedOneIsRefusedOnEitherSideAndNothingIsWritten) {
    const Side receiver, sender, stranger;
    // The client expects another listener's key: it sends nothing and reports why.
    Endpoints e(receiver.policy(stranger.key), {"x.bin"});
    e.open(sender.policy(stranger.key));
    ASSERT_TRUE(waitUntil([&] { return e.find(e.clientEvents, SecurityEvent::Kind::KeyRefused); },
                          kTransferWaitMs));
    EXPECT_EQ(e.find(e.clientEvents, SecurityEvent::Kind::KeyRefused)->key, receiver.key);
    // The error is told just after the refusal, in an event of its own.
    EXPECT_TRUE(waitUntil([&] { return e.errors.size() == 1; })) << e.errors.size();
    EXPECT_FALSE(e.client->Connected());

    // The listener expects the stranger: what the sender sends is never read, nothing is written.
    e.client->Close();
    e.open(sender.policy({}));
    ASSERT_TRUE(e.send("x.bin", randomBytes(64 * 1024)));
    ASSERT_TRUE(waitUntil([&] { return e.find(e.serverEvents, SecurityEvent::Kind::KeyRefused); },
                          kTransferWaitMs));
    EXPECT_EQ(e.find(e.serverEvents, SecurityEvent::Kind::KeyRefused)->key, sender.key);
    EXPECT_TRUE(waitUntil([&] { return e.find(e.clientEvents, SecurityEvent::Kind::Ended); },
                          kTransferWaitMs));
    EXPECT_FALSE(e.find(e.serverEvents, SecurityEvent::Kind::Established));
    EXPECT_TRUE(e.downloads.empty());
    EXPECT_TRUE(e.files().isEmpty());
}

TEST(DownloadSession, APlainUploadPassesUnchangedBesideSessionsAndIsRefusedWhenPlainIs) {
    const Side receiver;
    Endpoints e(receiver.policy({}), {"plain.bin", "refused.bin"});
    e.open({});
    const QByteArray body = randomBytes(512 * 1024);
    ASSERT_TRUE(waitUntil([&] { return e.client->Connected(); }, kTransferWaitMs));
    ASSERT_TRUE(e.send("plain.bin", body));
    ASSERT_TRUE(waitUntil([&] { return e.written(1); }, kTransferWaitMs));
    EXPECT_EQ(e.saved("plain.bin"), body);
    EXPECT_TRUE(e.serverEvents.empty());

    e.server->setSessionPolicy(receiver.policy({}, true));
    e.client->Close();
    e.open({});
    ASSERT_TRUE(e.send("refused.bin", body));
    ASSERT_TRUE(waitUntil([&] { return e.find(e.serverEvents, SecurityEvent::Kind::PlainRefused); },
                          kTransferWaitMs));
    EXPECT_EQ(e.find(e.serverEvents, SecurityEvent::Kind::PlainRefused)->address, kLoopback);
    EXPECT_EQ(e.files(), QStringList{"plain.bin"});
}

TEST(DownloadSession, AFileCutOffMidSessionLeavesNothingAndTheNextGoesOnAFreshSession) {
    const Side receiver, sender;
    Endpoints e(receiver.policy(sender.key), {"cut.bin", "next.bin", "cut.bin"});
    e.open(sender.policy(receiver.key));
    ASSERT_TRUE(waitUntil([&] { return e.client->Connected(); }, kTransferWaitMs));
    // The file ends 1 MiB before the size its header gave: the session is cut mid-frame.
    ASSERT_TRUE(e.send("cut.bin", randomBytes(2 * 1024 * 1024), 3 * 1024 * 1024));
    ASSERT_TRUE(waitUntil(
        [&] {
            return e.count(e.downloads, DownloadEvent::Kind::CutOff) == 1 &&
                   e.find(e.serverEvents, SecurityEvent::Kind::Ended);
        },
        kTransferWaitMs));
    EXPECT_TRUE(e.files().isEmpty());
    const SecurityEvent* ended = e.find(e.serverEvents, SecurityEvent::Kind::Ended);
    EXPECT_FALSE(ended->reason.isEmpty());

    ASSERT_TRUE(
        waitUntil([&] { return e.client->Connected() && !e.client->Sending(); }, kTransferWaitMs));
    ASSERT_TRUE(e.send("next.bin", "next"));
    ASSERT_TRUE(waitUntil([&] { return e.written(1); }, kTransferWaitMs));
    EXPECT_EQ(e.saved("next.bin"), QByteArray("next"));
    EXPECT_EQ(e.files(), QStringList{"next.bin"});

    // A whole frame that holds only part of its file ends the file and the session there: the
    // next frame cannot complete it.
    std::unique_ptr<TlsSocket> raw = e.rawSession(sender);
    const QByteArray file = encodeFileHeader("cut.bin", 100) + QByteArray(100, 'x');
    raw->send(encodeDataFrame(file.first(200)) + encodeDataFrame(file.sliced(200)));
    const auto endings = [&] {
        return std::count_if(
            e.serverEvents.begin(), e.serverEvents.end(),
            [](const SecurityEvent& s) { return s.kind == SecurityEvent::Kind::Ended; });
    };
    ASSERT_TRUE(waitUntil([&] { return endings() == 2; }, kTransferWaitMs));
    EXPECT_EQ(e.files(), QStringList{"next.bin"});
}
