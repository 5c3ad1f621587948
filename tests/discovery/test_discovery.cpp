// Two copies finding each other through a real Avahi daemon. Runs inside the namespace that
// tests/discovery/run-in-namespace.sh makes, which also owns the daemon the tests stop and start.

#include "support/TwoCopies.h"

#include <QDBusConnection>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>

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

// Announces, as a stranger on the network would, a copy named `name` on a computer of its own at
// `address`; returns the entry group to free.
QString forge(const QString& name, const QString& address, const Announcement& announcement) {
    auto call = [](const QString& path, const char* interface, const char* method,
                   const QList<QVariant>& arguments) {
        QDBusMessage message =
            QDBusMessage::createMethodCall(kAvahi, path, interface, QLatin1String(method));
        message.setArguments(arguments);
        return QDBusConnection::systemBus().call(message, QDBus::Block, 5000);
    };
    const QDBusMessage group = call("/", "org.freedesktop.Avahi.Server", "EntryGroupNew", {});
    const QString path = qdbus_cast<QDBusObjectPath>(group.arguments().value(0)).path();
    const char* entries = "org.freedesktop.Avahi.EntryGroup";
    constexpr uint kNoReverse = 16; // no address-to-name record, which would clash with ours
    const QString host = "forged.local";
    EXPECT_EQ(call(path, entries, "AddAddress", {-1, -1, kNoReverse, host, address}).type(),
              QDBusMessage::ReplyMessage);
    EXPECT_EQ(call(path, entries, "AddService",
                   {-1, -1, 0u, name, QString(kDiscoveryServiceType), QString(), host,
                    QVariant::fromValue(ushort(announcement.plan.listen[0])),
                    QVariant::fromValue(encodeTxt(announcement))})
                  .type(),
              QDBusMessage::ReplyMessage);
    call(path, entries, "Commit", {});
    return path;
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
    // Each entry names the other computer too.
    const QString host = a.foundCopies().front().host;
    EXPECT_FALSE(host.isEmpty());
    EXPECT_TRUE(entryOf(a, "Bert")->text().contains(host));

    // A stranger announcing Bert's run id from another address, under a name listed first and
    // with ports of system services, is another entry: Bert's stays, and "Match ports" never
    // takes the stranger's ports.
    const QString forged =
        forge("Aaa", "10.77.0.9", {b.runId(), {{22, 53, 80, 443}, {22, 53, 80, 443}}});
    ASSERT_TRUE(waitUntil([&] { return entryOf(a, "Aaa"); }, kFindMs));
    ASSERT_TRUE(entryOf(a, "Bert"));
    EXPECT_EQ(a.foundCopies().size(), 2u);
    a.ListBox2->setCurrentItem(entryOf(a, "Aaa"));
    EXPECT_FALSE(a.Button7->isEnabled());
    QDBusConnection::systemBus().call(
        QDBusMessage::createMethodCall(kAvahi, forged, "org.freedesktop.Avahi.EntryGroup", "Free"));
    ASSERT_TRUE(waitUntil([&] { return !entryOf(a, "Aaa"); }, kFindMs));

    // A double click fills "IP:"; with plans known not to meet, the Connect is not made and the
    // chat log says why.
    QListWidgetItem* bertEntry = entryOf(a, "Bert");
    EXPECT_EQ(a.PageControl1->currentWidget(), a.TabSheet5); // came to the front once listed
    QTest::mouseClick(a.ListBox2->viewport(), Qt::LeftButton, {}, centreOf(a.ListBox2, bertEntry));
    QTest::mouseDClick(a.ListBox2->viewport(), Qt::LeftButton, {}, centreOf(a.ListBox2, bertEntry));
    EXPECT_EQ(a.Edit2->text(), address);
    EXPECT_EQ(a.Memo1->toPlainText().count("Not connecting: the ports do not match those of Bert"),
              1);
    EXPECT_EQ(a.statusIconIndex, 1);

    // On one computer the copy with the larger chat port adapts; the other waits, its "Match
    // ports" disabled. The one adapting needs no selection: only one entry needs it.
    const bool annaAdapts = pa.chat.toUShort() > pb.chat.toUShort();
    TForm1& adapter = annaAdapts ? a : b;
    TForm1& waiter = annaAdapts ? b : a;
    const QString adapterNick = annaAdapts ? "Anna" : "Bert";
    waiter.ListBox2->setCurrentItem(entryOf(waiter, adapterNick));
    EXPECT_FALSE(waiter.Button7->isEnabled());
    EXPECT_TRUE(entryOf(waiter, adapterNick)->text().contains("wait for it"));
    adapter.ListBox2->setCurrentRow(-1);
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
    adapter.Edit2->setText(address);
    clickAndSettle(adapter, adapter.BitBtn16);
    ASSERT_TRUE(waitUntil([&] { return !adapter.attemptRunning() && adapter.statusIconIndex == 2; },
                          kFindMs));

    // The other copy moves its file listener: "Match ports" fits the connected copy again, but
    // asks before it drops the connection, and a No keeps it.
    clickAndSettle(waiter, waiter.BitBtn18);
    waiter.Edit8->setText(spare);
    clickAndSettle(waiter, waiter.BitBtn18);
    ASSERT_TRUE(waitUntil([&] { return adapter.Button7->isEnabled(); }, kFindMs));
    // The waiter going offline broke the file connection to it, which its peer may report in the
    // error box as always; that box is not what this checks.
    Copy& adapterCopy = annaAdapts ? *anna : *bert;
    adapterCopy.errors.clear();
    adapterCopy.answerYes = false;
    clickAndSettle(adapter, adapter.Button7);
    EXPECT_EQ(adapterCopy.questions.size(), 1);
    EXPECT_EQ(adapter.statusIconIndex, 2);
    EXPECT_EQ(adapter.BitBtn18->text(), "Online");
    clickAndSettle(adapter, adapter.BitBtn17); // Disconnect

    a.Timer4->setInterval(100);
    QElapsedTimer sinceOffline;
    sinceOffline.start();
    clickAndSettle(b, b.BitBtn18);
    ASSERT_TRUE(waitUntil([&] { return !entryOf(a, "Bert"); }, kFindMs));
    std::printf("discovery: removed %lld ms after going offline\n",
                static_cast<long long>(sinceOffline.elapsed()));
    // Alone for a while, the list says what to check.
    EXPECT_TRUE(waitUntil([&] { return onlyLine(a, "a firewall"); }, kFindMs));
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
