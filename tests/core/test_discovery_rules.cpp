// What a copy announces and how it reads the others' announcements, the port-plan check, the rule
// of who adapts and which ports may be set, how the list keys and bounds what it keeps, and how
// entries are marked against the verified peers.

#include "net/Discovery.h"
#include "net/Pairings.h"

#include <gtest/gtest.h>

#include <set>

namespace {
PortPlan defaults() {
    return {{484, 400, 488, 501}, {484, 500, 488, 501}};
}
} // namespace

TEST(DiscoveryRules, AnnouncementsReadBackAndBadOnesAreIgnored) {
    const Announcement sent{0x0123456789abcdefULL, defaults()};
    const QList<QByteArray> txt = encodeTxt(sent);
    EXPECT_EQ(parseTxt(txt), sent);
    // Unknown keys are skipped and the first of a repeated key counts.
    QList<QByteArray> extended = txt;
    extended << "future=1"
             << "lchat=9";
    EXPECT_EQ(parseTxt(extended), sent);

    auto with = [&txt](const QByteArray& replaced, const QByteArray& by) {
        QList<QByteArray> changed;
        for (const QByteArray& s : txt)
            if (!s.startsWith(replaced + '='))
                changed << s;
        if (!by.isEmpty())
            changed.prepend(by);
        return parseTxt(changed);
    };
    EXPECT_FALSE(with("rplot", {}));            // a port missing
    EXPECT_FALSE(with("ldown", "ldown=65536")); // out of range
    EXPECT_FALSE(with("ldown", "ldown=-1"));
    EXPECT_FALSE(with("ldown", "ldown= 400"));
    EXPECT_FALSE(with("id", "id=12")); // not 16 hex digits
    EXPECT_FALSE(with("id", "id=0000000000000000"));
    EXPECT_FALSE(with("v", "v=2")); // another format
    EXPECT_FALSE(with("v", {}));
    EXPECT_FALSE(with("ltrade", "ltrade=" + QByteArray(300, '1'))); // longer than a TXT string
}

TEST(DiscoveryRules, EncryptionOffersFollowThePortsAndBadHintsAreIgnoredAlone) {
    const Announcement plain{0x0123456789abcdefULL, defaults()};
    Announcement offering = plain;
    offering.encrypted = true;
    offering.keyHint = QByteArray::fromHex("a1b2c3d4e5f60718");
    const QList<QByteArray> plainTxt = encodeTxt(plain);
    const QList<QByteArray> txt = encodeTxt(offering);
    // Without an offer the record is as before; with one, the two keys follow it.
    EXPECT_EQ(txt, plainTxt + QList<QByteArray>({"tls=1", "fp=a1b2c3d4e5f60718"}));
    EXPECT_EQ(parseTxt(txt), offering);
    EXPECT_EQ(parseTxt(plainTxt + QList<QByteArray>{"FP=A1B2C3D4E5F60718", "tls=1"}), offering);

    for (const char* bad : {"fp=a1b2c3d4e5f6071", "fp=a1b2c3d4e5f607189", "fp=a1b2c3d4e5f6071g",
                            "fp= a1b2c3d4e5f6071", "fp"}) {
        const std::optional<Announcement> read =
            parseTxt(plainTxt + QList<QByteArray>{bad, "tls=1"});
        ASSERT_TRUE(read) << bad;
        EXPECT_TRUE(read->keyHint.isEmpty()) << bad;
        EXPECT_EQ(read->plan, plain.plan);
        EXPECT_TRUE(read->encrypted);
    }
    for (const char* notOffered : {"tls=0", "tls=yes", "tls="})
        EXPECT_FALSE(parseTxt(plainTxt + QList<QByteArray>{notOffered})->encrypted);
}

TEST(DiscoveryRules, EntriesAreMarkedByTheVerifiedPeersKeys) {
    const QByteArray annasKey(kKeyFingerprintBytes, '\x11');
    const QByteArray annasHint = annasKey.left(kAnnouncedKeyHintBytes);
    const QByteArray otherHint(kAnnouncedKeyHintBytes, '\x22');
    Pairings pairings;
    ASSERT_TRUE(pairings.remember({annasKey, "10.0.0.5", "Anna"}));
    const auto mark = [&pairings](const QString& name, const QByteArray& hint) {
        return pairingMark(pairings, name, hint).text;
    };
    EXPECT_EQ(pairingMark(pairings, "Anna", annasHint).kind, PairingMark::Kind::Verified);
    EXPECT_EQ(pairingMark(pairings, "Anna", otherHint).kind, PairingMark::Kind::Impostor);
    EXPECT_EQ(pairingMark(pairings, "Bert", otherHint).kind, PairingMark::Kind::None);
    EXPECT_EQ(mark("Anna", annasHint), "verified");
    EXPECT_EQ(mark("Anna at work", annasHint), "verified as Anna");
    EXPECT_EQ(mark("anna", otherHint), "not the verified Anna");
    EXPECT_EQ(mark("Anna #2", otherHint), "not the verified Anna");
    EXPECT_EQ(mark("Anna #2", annasHint), "verified");
    EXPECT_EQ(mark("Anna", {}), "not the verified Anna"); // offers no key at all
    EXPECT_EQ(mark("Bert", otherHint), "");
    EXPECT_EQ(mark("Bert", {}), "");
}

TEST(DiscoveryRules, PlansThatDoNotMeetAreToldAndTheMirrorMeets) {
    const PortPlan mine = defaults();
    const PortPlan theirs = defaults();
    EXPECT_EQ(
        planProblems(mine, theirs),
        QStringList({"files from you would not reach it: you send to 500, it listens on 400",
                     "files from it would not reach you: it sends to 500, you listen on 400"}));
    EXPECT_TRUE(planProblems(mirroredPlan(theirs), theirs).isEmpty());
    EXPECT_TRUE(planProblems(theirs, mirroredPlan(theirs)).isEmpty());

    // Exactly one of two copies adapts, whichever asks: by address, on one computer by chat port.
    const CopyPlace a{0x0A000005, 484}, b{0x0A000009, 484}, c{0x0A000005, 2000};
    for (auto [x, y] : {std::pair{a, b}, std::pair{a, c}, std::pair{b, c}})
        EXPECT_NE(thisCopyAdapts(x, y), thisCopyAdapts(y, x));

    // "Match ports" sets ports of 1024 and above, or the usual ones in their own fields.
    EXPECT_TRUE(planIsSafeToSet(defaults()));
    EXPECT_TRUE(planIsSafeToSet(mirroredPlan(defaults())));
    EXPECT_TRUE(planIsSafeToSet({{1024, 5000, 65535, 501}, {2000, 400, 488, 40000}}));
    for (uint16_t evil : {0, 22, 53, 80, 443, 1023}) {
        PortPlan plan = defaults();
        plan.send[int(Channel::Trade)] = evil;
        EXPECT_FALSE(planIsSafeToSet(plan)) << evil;
    }
    PortPlan swapped = defaults();
    swapped.listen[int(Channel::Chat)] = 400; // a usual port, but not the chat field's
    EXPECT_FALSE(planIsSafeToSet(swapped));
}

TEST(DiscoveryRules, NamesAndTheListAreBounded) {
    const QString longName = QString(70, QChar(0x00E9)); // two bytes each in UTF-8
    EXPECT_EQ(announcedName(longName).toUtf8().size(), 62);
    EXPECT_EQ(announcedName(QString()), "Vorlax-User");
    EXPECT_EQ(shownServiceName("Eve\nJoined\u202E"), QString("Eve Joined\uFFFD"));

    // A flood of sightings that never resolve gives way to a new one.
    FoundCopies found;
    for (int i = 0; i < kMaxPendingSightings; ++i)
        ASSERT_TRUE(found.track({i, 0, "flood"}));
    ASSERT_TRUE(found.track({0, 0, "Anna"}));
    EXPECT_FALSE(found.tracked({0, 0, "flood"}));
    EXPECT_TRUE(found.tracked({1, 0, "flood"}));
    found.clear();

    // One copy seen on two interfaces is one entry; its run id from another address, or under
    // another name, is another; two entries with one name are both marked.
    const FoundCopy anna{"Anna", "anna-pc.local", 0x0A4D0001, {7, defaults()}};
    FoundCopy forged = anna;
    forged.address = 0x0A4D0009;
    forged.host = "eve.local";
    FoundCopy renamed = anna;
    renamed.name = "Aaa";
    int interfaceIndex = 0;
    for (const FoundCopy& copy : {anna, anna, forged, renamed}) {
        const SightingKey key{interfaceIndex++, 0, copy.name};
        found.track(key);
        found.resolve(key, copy);
    }
    const std::vector<FoundCopy> listed = found.copies();
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].name, "Aaa");
    EXPECT_FALSE(listed[0].sharesName);
    EXPECT_EQ(listed[1].address, anna.address);
    EXPECT_EQ(listed[2].address, forged.address);
    EXPECT_TRUE(listed[1].sharesName && listed[2].sharesName);

    // 64 sightings from the forger's address keep only its newest few and lock nobody out.
    for (int i = 0; i < kMaxFoundCopies; ++i) {
        const SightingKey key{100 + i, 0, QString("fake %1").arg(i)};
        found.track(key);
        found.resolve(key,
                      {key.name, "eve.local", forged.address, {uint64_t(100 + i), defaults()}});
    }
    const SightingKey bert{200, 0, "Bert"};
    ASSERT_TRUE(found.track(bert));
    found.resolve(bert, {"Bert", "bert-pc.local", 0x0A4D0002, {8, defaults()}});
    int fromForger = 0;
    std::set<QString> names;
    for (const FoundCopy& copy : found.copies()) {
        fromForger += copy.address == forged.address;
        names.insert(copy.name);
    }
    EXPECT_EQ(fromForger, kMaxCopiesPerAddress);
    EXPECT_TRUE(names.count("Anna") && names.count("Bert") && names.count("Aaa"));
    EXPECT_TRUE(names.count(QString("fake %1").arg(kMaxFoundCopies - 1)));
    found.forget(bert);
    EXPECT_FALSE(found.tracked(bert));
}
