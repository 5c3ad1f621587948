// What a copy announces and how it reads the others' announcements, the port-plan check, the rule
// of who adapts, and the bound on what is kept.

#include "net/Discovery.h"

#include <gtest/gtest.h>

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

TEST(DiscoveryRules, PlansThatDoNotMeetAreToldAndTheMirrorMeets) {
    const PortPlan mine = defaults();
    const PortPlan theirs = defaults();
    EXPECT_EQ(
        planProblems(mine, theirs),
        QStringList({"files from you would not reach it: you send to 500, it listens on 400",
                     "files from it would not reach you: it sends to 500, you listen on 400"}));
    EXPECT_TRUE(planProblems(mirroredPlan(theirs), theirs).isEmpty());
    EXPECT_TRUE(planProblems(theirs, mirroredPlan(theirs)).isEmpty());

    // Exactly one of two copies adapts, whichever asks.
    const uint64_t a = newRunId(), b = newRunId();
    EXPECT_NE(thisCopyAdapts(a, b), thisCopyAdapts(b, a));
}

TEST(DiscoveryRules, NamesAndTheListAreBounded) {
    const QString longName = QString(70, QChar(0x00E9)); // two bytes each in UTF-8
    EXPECT_EQ(announcedName(longName).toUtf8().size(), 62);
    EXPECT_EQ(announcedName(QString()), "Vorlax-User");
    EXPECT_EQ(shownServiceName("Eve\nJoined\u202E"), QString("Eve Joined\uFFFD"));

    FoundCopies found;
    for (int i = 0; i < kMaxFoundCopies; ++i)
        ASSERT_TRUE(found.track({i, 0, "copy"}));
    EXPECT_FALSE(found.track({kMaxFoundCopies, 0, "copy"}));
    // One copy seen on two interfaces is listed once.
    const FoundCopy copy{"Anna", 0x0A4D0001, {7, defaults()}};
    found.resolve({0, 0, "copy"}, copy);
    found.resolve({1, 0, "copy"}, copy);
    EXPECT_EQ(found.copies().size(), 1u);
    found.forget({0, 0, "copy"});
    found.forget({1, 0, "copy"});
    EXPECT_TRUE(found.copies().empty());
    EXPECT_TRUE(found.track({kMaxFoundCopies, 0, "copy"}));
}
