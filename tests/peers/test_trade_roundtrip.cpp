// The whole two-way trade as two users do it with the buttons: each connects, ticks the other's
// files, asks, both agree; the files travel one by one in both directions and both logs end with
// the finished line.

#include "support/PeerStandIns.h"
#include "support/TwoCopies.h"

#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

namespace {

void tickAll(QTreeWidget* list) {
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        list->topLevelItem(i)->setCheckState(0, Qt::Checked);
}

} // namespace

TEST(TradeRoundTrip, FilesTravelBothWaysAfterBothAgree) {
    const auto [pa, pb] = freePortSets();
    auto a = makeCopy(pa, pb, "Anna");
    auto b = makeCopy(pb, pa, "Bert");
    const QByteArray big = randomBytes(3 * 1024 * 1024 + 17);
    const QByteArray small = "hello\r\n";
    writeTestFile(a->tradeFolder() + "photo.raw", big);
    writeTestFile(b->tradeFolder() + "notes.txt", small);
    writeTestFile(b->tradeFolder() + "empty", {});
    // Its windows-1252 bytes happen to be valid UTF-8 too: the request must still find it.
    writeTestFile(b->tradeFolder() + QStringLiteral("Maß–Band.txt"), "measure");
    for (Copy* c : {a.get(), b.get()}) {
        c->form->uploadPauseMs = 20;
        c->form->ListTradeFolder();
        goOnline(*c->form);
    }
    connectTo(*a->form, "127.0.0.1");
    connectTo(*b->form, "127.0.0.1");
    TForm1& fa = *a->form;
    TForm1& fb = *b->form;
    ASSERT_TRUE(waitUntil([&] { return fa.ListView1->topLevelItemCount() == 3; }));
    ASSERT_TRUE(waitUntil([&] { return fb.ListView1->topLevelItemCount() == 1; }));

    tickAll(fa.ListView1);
    QTest::mouseClick(fa.BitBtn19, Qt::LeftButton); // Anna asks for Bert's two files
    tickAll(fb.ListView1);
    QTest::mouseClick(fb.BitBtn19, Qt::LeftButton); // Bert asks for Anna's photo
    ASSERT_TRUE(waitUntil([&] { return fb.SendQueue.size() == 3 && fa.SendQueue.size() == 1; }));
    ASSERT_TRUE(fa.BitBtn20->isEnabled());
    QTest::mouseClick(fa.BitBtn20, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return fb.agreement.PeerAccepted(); }));
    QTest::mouseClick(fb.BitBtn20, Qt::LeftButton); // Bert agrees second: he uploads first

    const QString finished = QStringLiteral("Upload/Download has been finished");
    ASSERT_TRUE(waitUntil([&] { return logHas(fa, finished) && logHas(fb, finished); }, 30000))
        << fa.Memo1->toPlainText().toStdString() << "\n---\n"
        << fb.Memo1->toPlainText().toStdString();
    EXPECT_EQ(readTestFile(a->saveFolder() + "notes.txt"), small);
    EXPECT_EQ(readTestFile(a->saveFolder() + "empty"), QByteArray());
    EXPECT_EQ(readTestFile(b->saveFolder() + "photo.raw"), big);
    QByteArrayList received;
    for (const QString& name : QDir(a->saveFolder()).entryList(QDir::Files))
        received << readTestFile(a->saveFolder() + name);
    EXPECT_TRUE(received.contains("measure"));
    EXPECT_TRUE(logHas(fa, "Download: " + b->tradeFolder() + "notes.txt"));
    EXPECT_TRUE(logHas(fb, "Upload: " + b->tradeFolder() + "notes.txt"));
    EXPECT_TRUE(logHas(fa, "Upload: " + a->tradeFolder() + "photo.raw"));
    EXPECT_TRUE(logHas(fa, "<Anna>: Accept Trade"));
    EXPECT_TRUE(logHas(fa, "<Bert>: Accept Trade"));
    // Bert uploaded first and ran dry first; Anna's last answer closes the trade on Bert's side.
    EXPECT_EQ(fb.windowTitle(), "Quil.Connect-Ready");
    EXPECT_EQ(fa.windowTitle(), "Quil-Connect-Ready");
    EXPECT_TRUE(a->errors.isEmpty()) << a->errors.join('|').toStdString();
    EXPECT_TRUE(b->errors.isEmpty()) << b->errors.join('|').toStdString();
}
