// Connection control between two real copies over loopback: going online and offline, Connect and
// Disconnect with their buttons and icons, the address book, listen failures, close while
// connected.

#include "support/TwoCopies.h"

#include "common/LineFile.h"

#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTest>

#include <gtest/gtest.h>

namespace {
struct Bar {
    QString caption;
    bool connect, disconnect, start;
    int icon;
};

Bar barOf(const TForm1& f) {
    return {f.BitBtn18->text(), f.BitBtn16->isEnabled(), f.BitBtn17->isEnabled(),
            f.BitBtn20->isEnabled(), f.statusIconIndex};
}

void expectBar(const TForm1& f, const Bar& want) {
    const Bar got = barOf(f);
    EXPECT_EQ(got.caption, want.caption);
    EXPECT_EQ(got.connect, want.connect);
    EXPECT_EQ(got.disconnect, want.disconnect);
    EXPECT_EQ(got.start, want.start);
    EXPECT_EQ(got.icon, want.icon);
}
} // namespace

TEST(Connection, TwoCopiesGoOnlineConnectDisconnectAndGoOffline) {
    CopyPair pair = connectedPair();
    TForm1& a = *pair.a->form;
    TForm1& b = *pair.b->form;
    expectBar(a, {"Online", false, true, false, 2});
    expectBar(b, {"Online", false, true, false, 2});
    EXPECT_TRUE(a.ChatClient->Connected());
    EXPECT_TRUE(a.TradeClient->Connected());
    EXPECT_TRUE(a.Plot_Client->Connected());
    EXPECT_TRUE(a.ChatServer->Listening());
    EXPECT_TRUE(a.DownloadServer->Listening());
    EXPECT_TRUE(pair.a->errors.isEmpty());
    EXPECT_TRUE(a.Memo1->toPlainText().isEmpty()); // no listen failures reported

    clickAndSettle(a, a.BitBtn17); // Disconnect
    expectBar(a, {"Online", true, false, false, 1});
    EXPECT_FALSE(a.ChatClient->Connected());
    EXPECT_FALSE(a.TradeClient->Connected());
    EXPECT_TRUE(a.Plot_Client->Connected());  // the plot client keeps its connection
    EXPECT_FALSE(a.Plot_Server->Listening()); // the plot listener is closed instead
    EXPECT_TRUE(a.ChatServer->Listening());

    goOnline(b); // B's caption reads "Online": this click goes offline
    expectBar(b, {"Offline", false, false, false, 0});
    EXPECT_FALSE(b.ChatServer->Listening());
    EXPECT_FALSE(b.ChatClient->Active());
    EXPECT_FALSE(b.Plot_Client->Active());

    // A connects to an address where nobody listens now: remembered, icon stays, Connect stays
    // enabled, and the chat log names what did not answer.
    connectTo(a, "127.0.0.1");
    expectBar(a, {"Online", true, false, false, 1});
    EXPECT_EQ(a.PeerList, QStringList{"127.0.0.1"});
    EXPECT_TRUE(a.Memo1->toPlainText().contains(
        "Connect to 127.0.0.1 failed: no answer on chat port " + a.ChatClient->RemotePort()));
}

TEST(Connection, AddressBookIsRememberedCaseInsensitivelyAndEditable) {
    CopyPair pair = connectedPair();
    TForm1& a = *pair.a->form;
    clickAndSettle(a, a.BitBtn17);
    connectTo(a, "LOCALHOST");
    EXPECT_EQ(a.statusIconIndex, 2);
    clickAndSettle(a, a.BitBtn17);
    connectTo(a, "localhost"); // same address in other letter case: nothing added
    EXPECT_EQ(a.PeerList, (QStringList{"127.0.0.1", "LOCALHOST"}));
    QFile file(a.peerListPath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("127.0.0.1\r\nLOCALHOST\r\n"));
    file.close();

    // Clicking an entry only fills the address field.
    a.Edit2->clear();
    QListWidgetItem* first = a.ListBox1->item(0);
    QTest::mouseClick(a.ListBox1->viewport(), Qt::LeftButton, {},
                      a.ListBox1->visualItemRect(first).center());
    EXPECT_EQ(a.Edit2->text(), "127.0.0.1");

    // Delete with nothing selected changes nothing; deleting both entries leaves an empty file.
    a.ListBox1->setCurrentItem(nullptr);
    a.Delete1->trigger();
    EXPECT_EQ(a.PeerList.size(), 2);
    for (int i = 0; i < 2; ++i) {
        a.ListBox1->setCurrentRow(0);
        a.Delete1->trigger();
    }
    EXPECT_TRUE(a.PeerList.isEmpty());
    EXPECT_EQ(QFile(a.peerListPath()).size(), 0);
}

TEST(Connection, ListenFailureIsReportedInTheChatLogAndPortErrorsInTheBox) {
    QTcpServer squatter;
    ASSERT_TRUE(squatter.listen(QHostAddress::AnyIPv4, 0));
    auto [local, remote] = freePortSets();
    local.chat = QString::number(squatter.serverPort());
    auto copy = makeCopy(local, remote, "Cleo");
    TForm1& f = *copy->form;
    goOnline(f);
    EXPECT_FALSE(f.ChatServer->Listening());
    EXPECT_TRUE(f.TradeServer->Listening());
    EXPECT_TRUE(f.Memo1->toPlainText().contains(
        QStringLiteral("Chat server cannot listen on port %1").arg(local.chat)));
    EXPECT_TRUE(copy->errors.isEmpty());
    goOnline(f); // offline again

    f.Edit15->setText("plotty");
    goOnline(f);
    EXPECT_EQ(copy->errors, QStringList{"'plotty' ist kein gültiger Integerwert."});
    EXPECT_EQ(f.BitBtn18->text(), "Online"); // the steps before the error kept their effect
    goOnline(f);
    EXPECT_EQ(f.BitBtn18->text(), "Offline");
    EXPECT_FALSE(f.TradeServer->Listening());

    f.Edit9->setText("soon");
    goOnline(f);
    EXPECT_EQ(copy->errors.last(), "'soon' ist kein gültiger Integerwert.");
}

TEST(Connection, EmptyAddressIsRememberedAndRefusedByTheDownloadClient) {
    auto [local, remote] = freePortSets();
    auto copy = makeCopy(local, remote, "Dora");
    TForm1& f = *copy->form;
    goOnline(f);
    f.PlotQueue.push_back("1 2 3");
    connectTo(f, "");
    EXPECT_EQ(copy->errors, QStringList{"Keine Adresse angegeben."});
    EXPECT_EQ(f.PeerList, QStringList{""});
    EXPECT_EQ(QFile(f.peerListPath()).size(), 2);
    EXPECT_TRUE(f.BitBtn16->isEnabled());
    EXPECT_EQ(f.PlotQueue.size(), 1u); // the Connect ended before it emptied the queue
    EXPECT_EQ(f.statusIconIndex, 1);
}

TEST(Connection, DisconnectBeforeEverGoingOnlineAndCloseWhileConnected) {
    auto [local, remote] = freePortSets();
    auto copy = makeCopy(local, remote, "Emil");
    TForm1& f = *copy->form;
    clickAndSettle(f, f.BitBtn17);
    expectBar(f, {"Offline", true, false, false, 1});

    CopyPair pair = connectedPair();
    TForm1& a = *pair.a->form;
    a.Edit5->setText("Closing");
    a.close();
    // Settings written, then Disconnect, then offline.
    EXPECT_EQ(readLineFile(a.settingsPath()).value(2), "Closing");
    expectBar(a, {"Offline", false, false, false, 0});
    EXPECT_FALSE(a.ChatServer->Listening());
    EXPECT_FALSE(a.ChatClient->Active());
    // The peer notices nothing but its clients' next reconnect failing; destroying both is prompt.
    pair.a.reset();
    pair.b.reset();
}
