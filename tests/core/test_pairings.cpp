// The store of verified peers ("Pairings.ini") and the state the lock shows of the four channels.

#include "net/ChannelSecurity.h"
#include "net/Pairings.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "support/TestFiles.h"

namespace {
QByteArray keyOf(int n) {
    QByteArray key(kKeyFingerprintBytes, char(n));
    key[kKeyFingerprintBytes - 1] = char(n >> 8);
    return key;
}
} // namespace

TEST(Pairings, RoundTripLookupsForgetAndBounds) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(kPairingsFileName);
    EXPECT_TRUE(Pairings::load(path).entries().empty());

    Pairings pairings;
    EXPECT_FALSE(pairings.remember({keyOf(1).left(31), "10.0.0.1", "Short"}));
    ASSERT_TRUE(pairings.remember({keyOf(1), "10.0.0.1", "Anna"}));
    ASSERT_TRUE(pairings.remember({keyOf(2), "Host.Example", "Бо\tris\nJoined"}));
    ASSERT_TRUE(pairings.remember({keyOf(3), "10.0.0.3", QString(150, 'x')}));
    // A known key takes its new address and becomes the newest.
    ASSERT_TRUE(pairings.remember({keyOf(1), "10.0.0.9", "Anna"}));
    ASSERT_EQ(pairings.entries().size(), 3u);
    EXPECT_EQ(pairings.entries().back().address, "10.0.0.9");
    EXPECT_EQ(pairings.entries()[0].nickname, "Бо ris Joined"); // no line or field of its own
    EXPECT_EQ(pairings.entries()[1].nickname.size(), kMaxPairingNameChars);

    pairings.save(path);
    EXPECT_EQ(QFile(path).permissions() &
                  ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser),
              QFileDevice::Permissions());
    const Pairings loaded = Pairings::load(path);
    EXPECT_EQ(loaded.entries(), pairings.entries());

    EXPECT_EQ(loaded.byKey(keyOf(2))->address, "Host.Example");
    EXPECT_EQ(loaded.byKeyHint(keyOf(3).left(kAnnouncedKeyHintBytes))->address, "10.0.0.3");
    EXPECT_EQ(loaded.byKeyHint(keyOf(3).left(4)), nullptr);
    EXPECT_EQ(loaded.byAddress("HOST.example")->key, keyOf(2));
    EXPECT_EQ(loaded.byNickname("anna")->key, keyOf(1));
    EXPECT_EQ(loaded.byKey(keyOf(4)), nullptr);

    Pairings forgetting = loaded;
    EXPECT_EQ(forgetting.forgetAddress("host.EXAMPLE"), 1);
    EXPECT_EQ(forgetting.forgetAddress("host.example"), 0);
    EXPECT_EQ(forgetting.byKey(keyOf(2)), nullptr);
    EXPECT_EQ(forgetting.entries().size(), 2u);

    // Lines that do not read as a pairing are skipped; the others are kept.
    const QByteArray good = keyOf(5).toHex() + "\t10.0.0.5\tEve\r\n";
    writeBytes(path, "zz" + keyOf(6).toHex().mid(2) + "\t10.0.0.6\tBad hex\r\n" + keyOf(7).toHex() +
                         "\t10.0.0.7\r\n" + keyOf(8).toHex().left(62) + "\ta\tb\r\n" + good +
                         keyOf(9).toHex() + "\t" + QByteArray(5000, 'a') + "\tLong\r\n");
    const Pairings garbled = Pairings::load(path);
    ASSERT_EQ(garbled.entries().size(), 1u);
    EXPECT_EQ(garbled.entries()[0].nickname, "Eve");

    // At most kMaxPairings are kept, the newest, in memory and from a longer file.
    Pairings full;
    QByteArray many;
    for (int n = 0; n < kMaxPairings + 20; ++n) {
        full.remember({keyOf(n), QString::number(n), "Peer"});
        many += keyOf(n).toHex() + "\t" + QByteArray::number(n) + "\tPeer\r\n";
    }
    ASSERT_EQ(full.entries().size(), size_t(kMaxPairings));
    EXPECT_EQ(full.byKey(keyOf(19)), nullptr);
    EXPECT_NE(full.byKey(keyOf(20)), nullptr);
    writeBytes(path, many);
    EXPECT_EQ(Pairings::load(path).entries(), full.entries());
}

TEST(ChannelSecurity, LockShowsTheWeakestOfTheFourChannels) {
    const ChannelSecurity plain{}, encrypted{Protection::Encrypted, {}, {}},
        verified{Protection::Verified, "Anna", {}},
        warning{Protection::Warning, {}, "another key\nat 10.0.0.9"},
        otherWarning{Protection::Warning, {}, "handshake failed"};
    auto shown = [](const ChannelSecurities& channels) {
        return protectionText(weakestChannel(channels));
    };
    EXPECT_EQ(shown({plain, plain, plain, plain}), "Not encrypted");
    EXPECT_EQ(shown({verified, verified, verified, verified}), "Encrypted and verified: Anna");
    EXPECT_EQ(shown({verified, encrypted, verified, verified}), "Encrypted, not verified");
    EXPECT_EQ(shown({verified, verified, verified, plain}), "Not encrypted");
    EXPECT_EQ(shown({encrypted, plain, verified, warning}),
              "Security warning: another key at 10.0.0.9");
    EXPECT_EQ(shown({verified, otherWarning, warning, plain}),
              "Security warning: handshake failed");
}
