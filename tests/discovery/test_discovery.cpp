// Two copies finding each other through a real Avahi daemon. Runs inside the namespace that
// tests/discovery/run-in-namespace.sh makes, which also owns the daemon the tests stop and start.

#include "support/TwoCopies.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>

namespace {
constexpr int kFindMs = 15000;
const QString kAvahi = QStringLiteral("org.freedesktop.Avahi");

QString control(const char* file) {
    return qEnvironmentVariable("VORLAX_TEST_AVAHI_CONTROL") + '/' + QLatin1String(file);
}

bool avahiRunning() {
    QDBusMessage state =
        QDBusMessage::createMethodCall(kAvahi, "/", "org.freedesktop.Avahi.Server", "GetState");
    const QDBusMessage reply = QDBusConnection::systemBus().call(state, QDBus::Block, 500);
    return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0).toInt() == 2;
}

void startAvahi() {
    QFile(control("avahi-wanted")).open(QIODevice::WriteOnly);
    ASSERT_TRUE(waitUntil(avahiRunning, kFindMs));
}

void stopAvahi() {
    QFile::remove(control("avahi-wanted"));
    QFile pidFile("/run/avahi-daemon/pid");
    if (pidFile.open(QIODevice::ReadOnly))
        ::kill(pidFile.readAll().trimmed().toInt(), SIGTERM);
    ASSERT_TRUE(waitUntil(
        [] { return !QDBusConnection::systemBus().interface()->isServiceRegistered(kAvahi); },
        kFindMs));
}

QListWidgetItem* entryOf(TForm1& form, const QString& nick) {
    for (int i = 0; i < form.ListBox2->count(); ++i)
        if (form.ListBox2->item(i)->text().startsWith(nick + "  "))
            return form.ListBox2->item(i);
    return nullptr;
}

bool onlyLine(TForm1& form, const QString& part) {
    return form.ListBox2->count() == 1 && form.ListBox2->item(0)->text().contains(part);
}

QPoint centreOf(QListWidget* list, QListWidgetItem* item) {
    return list->visualItemRect(item).center();
}

PortPlan planOf(const PortSet& listen, const PortSet& send) {
    auto ports = [](const PortSet& s) {
        return std::array<uint16_t, kChannelCount>{s.chat.toUShort(), s.download.toUShort(),
                                                   s.trade.toUShort(), s.plot.toUShort()};
    };
    return {ports(listen), ports(send)};
}
} // namespace

TEST(Discovery, TwoCopiesFindEachOtherMendTheirPortsAndConnect) {
    startAvahi();
    const QString address = qEnvironmentVariable("VORLAX_TEST_ADDRESS");
    const auto [pa, pb] = freePortSets();
    // Bert sends files to a port nobody listens on: Anna's files reach Bert, Bert's never Anna.
    QString spare;
    for (const PortSet& s : {freePortSets().first, freePortSets().second})
        for (const QString& p : {s.chat, s.download, s.trade, s.plot})
            if (spare.isEmpty() && !QStringList{pa.chat, pa.download, pa.trade, pa.plot, pb.chat,
                                                pb.download, pb.trade, pb.plot}
                                        .contains(p))
                spare = p;
    PortSet bertSends = pa;
    bertSends.download = spare;
    auto anna = makeCopy(pa, pb, "Anna");
    auto bert = makeCopy(pb, bertSends, "Bert");
    TForm1& a = *anna->form;
    TForm1& b = *bert->form;
    goOnline(a);
    QElapsedTimer sinceOnline;
    sinceOnline.start();
    goOnline(b);
    ASSERT_TRUE(waitUntil([&] { return entryOf(a, "Bert"); }, kFindMs));
    std::printf("discovery: listed %lld ms after going online\n",
                static_cast<long long>(sinceOnline.elapsed()));
    ASSERT_TRUE(waitUntil([&] { return entryOf(b, "Anna"); }, kFindMs));

    for (auto [form, nick, plan] :
         {std::tuple{&a, "Bert", planOf(pb, bertSends)}, std::tuple{&b, "Anna", planOf(pa, pb)}}) {
        ASSERT_EQ(form->foundCopies().size(), 1u);
        const FoundCopy found = form->foundCopies().front();
        EXPECT_EQ(found.name, nick);
        EXPECT_EQ(QHostAddress(found.address).toString(), address);
        EXPECT_EQ(found.announcement.plan, plan);
    }
    EXPECT_TRUE(entryOf(a, "Bert")->text().contains(
        QString("files from it would not reach you: it sends to %1, you listen on %2")
            .arg(spare, pa.download)));
    EXPECT_TRUE(entryOf(b, "Anna")->text().contains(
        QString("files from you would not reach it: you send to %1, it listens on %2")
            .arg(spare, pa.download)));

    // A double click fills "IP:" and connects; the chat log tells of the ports once.
    QListWidgetItem* bertEntry = entryOf(a, "Bert");
    a.PageControl1->setCurrentWidget(a.TabSheet5);
    QTest::mouseClick(a.ListBox2->viewport(), Qt::LeftButton, {}, centreOf(a.ListBox2, bertEntry));
    QTest::mouseDClick(a.ListBox2->viewport(), Qt::LeftButton, {}, centreOf(a.ListBox2, bertEntry));
    EXPECT_EQ(a.Edit2->text(), address);
    ASSERT_TRUE(waitUntil([&] { return !a.attemptRunning() && a.statusIconIndex == 2; }, kFindMs));
    ASSERT_TRUE(waitUntil([&] { return a.Memo1->toPlainText().contains("Ports do not match"); }));
    EXPECT_EQ(a.Memo1->toPlainText().count("Ports do not match those of Bert"), 1);

    // The rule picks one copy; the other waits, its "Match ports" disabled.
    const bool annaAdapts = a.runId() > b.runId();
    TForm1& adapter = annaAdapts ? a : b;
    TForm1& waiter = annaAdapts ? b : a;
    const QString adapterNick = annaAdapts ? "Anna" : "Bert";
    const QString waiterNick = annaAdapts ? "Bert" : "Anna";
    waiter.ListBox2->setCurrentItem(entryOf(waiter, adapterNick));
    EXPECT_FALSE(waiter.Button7->isEnabled());
    EXPECT_TRUE(entryOf(waiter, adapterNick)->text().contains("wait for it"));
    adapter.ListBox2->setCurrentItem(entryOf(adapter, waiterNick));
    clickAndSettle(adapter, adapter.Button7);
    ASSERT_TRUE(waitUntil(
        [&] {
            QListWidgetItem* x = entryOf(a, "Bert");
            QListWidgetItem* y = entryOf(b, "Anna");
            return !adapter.attemptRunning() && adapter.BitBtn18->text() == "Online" && x && y &&
                   !x->text().contains("would not reach") && !y->text().contains("would not reach");
        },
        kFindMs));
    EXPECT_EQ(adapter.foundCopies().front().announcement.plan,
              mirroredPlan(waiter.foundCopies().front().announcement.plan));

    QElapsedTimer sinceOffline;
    sinceOffline.start();
    clickAndSettle(b, b.BitBtn18);
    ASSERT_TRUE(waitUntil([&] { return !entryOf(a, "Bert"); }, kFindMs));
    std::printf("discovery: removed %lld ms after going offline\n",
                static_cast<long long>(sinceOffline.elapsed()));
    EXPECT_TRUE(anna->errors.isEmpty());
    EXPECT_TRUE(bert->errors.isEmpty());
}

// Without the daemon the list says why; once it comes, copies online find each other; when it
// goes while they run, the list says why again, and nobody sees an error box.
TEST(Discovery, CopiesCopeWithTheDaemonComingAndGoing) {
    stopAvahi();
    const auto [pa, pb] = freePortSets();
    auto anna = makeCopy(pa, pb, "Anna");
    auto bert = makeCopy(pb, pa, "Bert");
    const QString why = "needs the Avahi service (the avahi-daemon package)";
    ASSERT_TRUE(waitUntil([&] { return onlyLine(*anna->form, why); }));
    goOnline(*anna->form);
    goOnline(*bert->form);
    EXPECT_TRUE(onlyLine(*bert->form, why));

    startAvahi();
    EXPECT_TRUE(waitUntil([&] { return entryOf(*anna->form, "Bert"); }, kFindMs));
    EXPECT_TRUE(waitUntil([&] { return entryOf(*bert->form, "Anna"); }, kFindMs));

    stopAvahi();
    EXPECT_TRUE(waitUntil([&] { return onlyLine(*anna->form, why); }));
    EXPECT_TRUE(anna->errors.isEmpty());
    EXPECT_TRUE(bert->errors.isEmpty());
    startAvahi();
}
