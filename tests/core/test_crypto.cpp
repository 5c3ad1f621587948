// The session's building blocks with no socket: this copy's identity files, two TLS engines
// pumped against each other in memory, the verification code's exchange and its limiter, and the
// frame reader.

#include "crypto/Frames.h"
#include "crypto/Identity.h"
#include "crypto/TlsEngine.h"
#include "crypto/VerifyCode.h"
#include "crypto/VerifyLimiter.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

struct Side {
    QTemporaryDir folder;
    Identity identity;
    std::shared_ptr<TlsContext> context;
    Side() {
        IdentityLoad load = loadOrCreateIdentity(folder.path());
        EXPECT_TRUE(load.identity.has_value()) << load.error.toStdString();
        identity = *load.identity;
        QString error;
        context = TlsContext::create(identity, &error);
        EXPECT_TRUE(context) << error.toStdString();
    }
};

// Carries each engine's ciphertext to the other until neither has any; returns all a sent to b.
QByteArray pump(TlsEngine& a, TlsEngine& b) {
    QByteArray wire;
    for (QByteArray ab = a.takeCiphertext(), ba = b.takeCiphertext();
         !ab.isEmpty() || !ba.isEmpty(); ab = a.takeCiphertext(), ba = b.takeCiphertext()) {
        wire += ab;
        b.feedCiphertext(ab);
        a.feedCiphertext(ba);
    }
    return wire;
}

// Sends bytes from one engine to the other, each taking what its bounds allow, as a socket would
// carry them; returns what the receiver decrypted and what went over the wire.
std::pair<QByteArray, QByteArray> send(TlsEngine& from, TlsEngine& to, const QByteArray& bytes) {
    QByteArray received, wire, inFlight;
    for (qsizetype sent = 0; sent < bytes.size() || !inFlight.isEmpty();) {
        sent += from.writePlain(QByteArrayView(bytes).sliced(sent));
        const QByteArray ciphertext = from.takeCiphertext();
        wire += ciphertext;
        inFlight += ciphertext;
        const qsizetype piece = std::min(inFlight.size(), to.ciphertextRoom());
        if (!to.feedCiphertext(QByteArrayView(inFlight).first(piece)) || from.failed())
            break;
        inFlight.remove(0, piece);
        for (QByteArray plain = to.takePlain(); !plain.isEmpty(); plain = to.takePlain())
            received += plain;
    }
    return {received, wire};
}

} // namespace

TEST(Crypto, TwoEnginesAgreeOnKeysAndCarryBytesBothWays) {
    Side a, b;
    TlsEngine client(a.context, TlsEngine::Role::Client, kAlpnChat);
    TlsEngine server(b.context, TlsEngine::Role::Server, kAlpnChat);
    pump(client, server);
    ASSERT_TRUE(client.handshakeDone()) << client.errorText().toStdString();
    ASSERT_TRUE(server.handshakeDone()) << server.errorText().toStdString();
    EXPECT_EQ(client.peerFingerprint(), b.identity.fingerprint);
    EXPECT_EQ(server.peerFingerprint(), a.identity.fingerprint);
    EXPECT_NE(a.identity.fingerprint, b.identity.fingerprint);
    const QByteArray secret = client.exportKeyingMaterial(kVerifyExporterLabel, kVerifySecretBytes);
    EXPECT_EQ(secret.size(), kVerifySecretBytes);
    EXPECT_EQ(secret, server.exportKeyingMaterial(kVerifyExporterLabel, kVerifySecretBytes));

    // More than every bound of the engines, so they must hand it over in pieces.
    QByteArray bytes;
    for (int i = 0; bytes.size() < 3 * TlsEngine::kMaxPlainIn; ++i)
        bytes += "secret line " + QByteArray::number(i) + "\r\n";
    const auto [received, wire] = send(client, server, bytes);
    EXPECT_EQ(received, bytes);
    EXPECT_FALSE(wire.contains("secret line"));
    EXPECT_EQ(send(server, client, "answer").first, "answer");

    // Cut off: a record that lacks its last byte gives nothing; a clean close is told apart.
    ASSERT_EQ(client.writePlain("tail"), 4);
    const QByteArray record = client.takeCiphertext();
    EXPECT_TRUE(server.feedCiphertext(record.chopped(1)));
    EXPECT_TRUE(server.takePlain().isEmpty());
    EXPECT_FALSE(server.closeNotifyReceived());
    EXPECT_FALSE(server.failed());
    server.feedCiphertext(record.right(1));
    EXPECT_EQ(server.takePlain(), "tail");
    client.close();
    EXPECT_EQ(client.writePlain("late"), 0);
    pump(client, server);
    EXPECT_TRUE(server.closeNotifyReceived());
    EXPECT_FALSE(server.failed());
}

TEST(Crypto, AConnectionForAnotherChannelFailsOnBothSides) {
    Side a, b;
    TlsEngine client(a.context, TlsEngine::Role::Client, kAlpnTrade);
    TlsEngine server(b.context, TlsEngine::Role::Server, kAlpnPlot);
    pump(client, server);
    EXPECT_TRUE(client.failed());
    EXPECT_TRUE(server.failed());
    EXPECT_FALSE(client.handshakeDone() || server.handshakeDone());
    EXPECT_TRUE(client.peerFingerprint().isEmpty() && server.peerFingerprint().isEmpty());
}

TEST(Crypto, IdentityIsKeptPrivateAndLoadedAgainButACorruptKeyIsReportedNotReplaced) {
    QTemporaryDir folder;
    const IdentityLoad first = loadOrCreateIdentity(folder.path());
    ASSERT_TRUE(first.identity && first.created);
    for (const char* name : {kIdentityKeyFile, kIdentityCertificateFile}) {
        struct stat status {};
        ASSERT_EQ(::stat(QFile::encodeName(folder.filePath(name)).constData(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0600u) << name;
    }
    const IdentityLoad second = loadOrCreateIdentity(folder.path());
    ASSERT_TRUE(second.identity && !second.created) << second.error.toStdString();
    EXPECT_EQ(second.identity->fingerprint, first.identity->fingerprint);
    EXPECT_EQ(first.identity->fingerprint.size(), 32);

    QFile key(folder.filePath(kIdentityKeyFile));
    ASSERT_TRUE(key.open(QIODevice::ReadWrite));
    QByteArray broken = key.readAll();
    broken[broken.size() / 2] = '!';
    key.seek(0);
    key.write(broken);
    key.close();
    const IdentityLoad third = loadOrCreateIdentity(folder.path());
    EXPECT_FALSE(third.identity);
    EXPECT_TRUE(third.error.contains(kIdentityKeyFile)) << third.error.toStdString();
    ASSERT_TRUE(key.open(QIODevice::ReadOnly));
    EXPECT_EQ(key.readAll(), broken);
}

namespace {
const QByteArray kKeyA(32, 'a'), kKeyB(32, 'b'), kKeyM(32, 'm');

// Runs the exchange as the dialogs would: the server's side begins, the client's starts when the
// commitment arrives. alter may change what reaches the client.
void exchange(VerifyCode& client, VerifyCode& server,
              const std::function<QByteArray(QByteArray)>& alter = {}) {
    QList<QByteArray> toClient = server.start(), toServer;
    while (!toClient.isEmpty() || !toServer.isEmpty()) {
        for (const QByteArray& message : std::exchange(toClient, {}))
            toServer += client.received(alter ? alter(message) : message);
        if (client.state() == VerifyCode::State::PeerCommitted)
            toServer += client.start();
        for (const QByteArray& message : std::exchange(toServer, {}))
            toClient += server.received(message);
    }
}
} // namespace

TEST(Crypto, VerifyCodeMatchesOnlyWithOneSecretAndAnHonestReveal) {
    const QByteArray secret(kVerifySecretBytes, 's');
    VerifyCode client(VerifyCode::Role::Client, kKeyA, kKeyB, secret);
    VerifyCode server(VerifyCode::Role::Server, kKeyB, kKeyA, secret);
    exchange(client, server);
    ASSERT_EQ(client.state(), VerifyCode::State::Done) << client.failureText().toStdString();
    ASSERT_EQ(server.state(), VerifyCode::State::Done) << server.failureText().toStdString();
    EXPECT_EQ(client.code(), server.code());
    EXPECT_TRUE(QRegularExpression("^\\d{3} \\d{3}$").match(client.code()).hasMatch());

    // A reveal altered on its way no longer matches its commitment.
    VerifyCode cheated(VerifyCode::Role::Client, kKeyA, kKeyB, secret);
    VerifyCode revealer(VerifyCode::Role::Server, kKeyB, kKeyA, secret);
    exchange(cheated, revealer, [](QByteArray message) {
        if (message[0] == kVerifyRevealMessage)
            message[5] = char(message[5] ^ 1);
        return message;
    });
    EXPECT_EQ(cheated.state(), VerifyCode::State::Failed);

    // Someone in the middle holds a session with each side, so two secrets, and runs the exchange
    // on both with his own key: each side completes, but the codes differ.
    VerifyCode a(VerifyCode::Role::Client, kKeyA, kKeyM, QByteArray(kVerifySecretBytes, '1'));
    VerifyCode mToA(VerifyCode::Role::Server, kKeyM, kKeyA, QByteArray(kVerifySecretBytes, '1'));
    VerifyCode mToB(VerifyCode::Role::Client, kKeyM, kKeyB, QByteArray(kVerifySecretBytes, '2'));
    VerifyCode b(VerifyCode::Role::Server, kKeyB, kKeyM, QByteArray(kVerifySecretBytes, '2'));
    exchange(a, mToA);
    exchange(mToB, b);
    ASSERT_EQ(a.state(), VerifyCode::State::Done);
    ASSERT_EQ(b.state(), VerifyCode::State::Done);
    EXPECT_NE(a.code(), b.code());

    // A reveal before the commitments is out of order.
    VerifyCode early(VerifyCode::Role::Client, kKeyA, kKeyB, secret);
    early.received(kVerifyRevealMessage + QByteArray(kVerifyRandomBytes, 'r'));
    EXPECT_EQ(early.state(), VerifyCode::State::Failed);
}

TEST(Crypto, AtMostThreeFailedVerificationsPerKeyInTenMinutes) {
    qint64 now = 0;
    VerifyLimiter limiter([&] { return now; });
    for (int i = 0; i < kMaxFailedVerifications; ++i) {
        EXPECT_TRUE(limiter.allowed(kKeyA));
        limiter.recordFailure(kKeyA);
        now += 1000;
    }
    EXPECT_FALSE(limiter.allowed(kKeyA));
    EXPECT_TRUE(limiter.allowed(kKeyB));
    now = kVerifyFailureWindowMs; // the first failure is now ten minutes old
    EXPECT_TRUE(limiter.allowed(kKeyA));
}

TEST(Crypto, FrameReaderJoinsPiecesStreamsLongFramesAndReportsWhatIsCutOff) {
    const QByteArray stream = encodeDataFrame("hello") + encodeControlFrame("\x01") +
                              encodeDataFrame(QByteArray(100, 'x'));
    FrameReader whole(100);
    QList<FrameEvent> events;
    for (char byte : stream) {
        whole.feed(QByteArrayView(&byte, 1));
        while (auto event = whole.next())
            events.append(*event);
    }
    ASSERT_EQ(events.size(), 3);
    EXPECT_EQ(events[0].bytes, "hello");
    EXPECT_EQ(events[1].kind, FrameEvent::Kind::Control);
    EXPECT_EQ(events[2].bytes, QByteArray(100, 'x'));
    EXPECT_TRUE(whole.endOfStream());

    FrameReader tooShort(99);
    tooShort.feed(stream);
    while (tooShort.next()) {
    }
    EXPECT_TRUE(tooShort.failed());

    FrameReader streaming(100, FrameReader::Mode::Streaming);
    streaming.feed(stream.chopped(10));
    QByteArray pieces;
    for (auto event = streaming.next(); event; event = streaming.next())
        pieces += event->kind == FrameEvent::Kind::DataPiece ? event->bytes : QByteArray();
    EXPECT_EQ(pieces, "hello" + QByteArray(90, 'x'));
    EXPECT_FALSE(streaming.endOfStream());
}
