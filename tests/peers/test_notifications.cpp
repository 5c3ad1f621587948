// Notifications while the window is in the background: a chat line from the connected peer
// reaches the desktop's notification service (here a stand-in on a private session bus) under the
// peer's name and address, a second one replaces the first, and activating it brings the window
// up with the server's activation token; what others send is not notified, and a huge request
// costs the window nothing.

#include "support/PeerInput.h"
#include "support/PeerStandIns.h"
#include "support/TwoCopies.h"

#include "trade/TradeRules.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QPlainTextEdit>
#include <QTcpSocket>
#include <QVariantMap>
#include <QWidget>

#include <gtest/gtest.h>

#include <thread>
#include <tuple>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

// The notification service as a desktop provides it, keeping what it was asked to show.
class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Shown {
        uint id, replacesId;
        QString summary, body;
    };
    std::vector<Shown> shown;

public slots:
    QStringList GetCapabilities() { return {"body", "body-markup", "actions"}; }
    uint Notify(const QString&, uint replacesId, const QString&, const QString& summary,
                const QString& body, const QStringList&, const QVariantMap&, int) {
        const uint id = replacesId != 0 ? replacesId : uint(shown.size()) + 1;
        shown.push_back({id, replacesId, summary, body});
        return id;
    }
};

// A session bus of the test's own, which the program's session connection then uses. The daemon
// is started with fork and exec rather than QProcess, whose vfork-like child would run the thread
// sanitizer's code in this process's memory and corrupt its bookkeeping.
struct PrivateBus {
    pid_t daemon = -1;
    QString address;
    PrivateBus() {
        int out[2];
        if (::pipe(out) != 0)
            return;
        daemon = ::fork();
        if (daemon == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM); // ends with the test, however it ends
            ::dup2(out[1], STDOUT_FILENO);
            ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--print-address=1",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        // The daemon prints its address once it listens.
        QByteArray printed;
        pollfd ready{out[0], POLLIN, 0};
        char c = 0;
        while (!printed.endsWith('\n') && ::poll(&ready, 1, kDefaultWaitMs) == 1 &&
               ::read(out[0], &c, 1) == 1)
            printed += c;
        ::close(out[0]);
        address = QString::fromLocal8Bit(printed).trimmed();
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.toLocal8Bit());
    }
    ~PrivateBus() {
        QDBusConnection::disconnectFromBus("server");
        if (daemon > 0) {
            ::kill(daemon, SIGTERM);
            ::waitpid(daemon, nullptr, 0);
        }
    }
};

void sendChatLine(const QString& port, const QByteArray& line, bool fromStranger = false) {
    QTcpSocket socket;
    if (fromStranger) {
        ASSERT_TRUE(socket.bind(QHostAddress(QString::fromLatin1(kStrangerAddress))));
    }
    socket.connectToHost(QHostAddress::LocalHost, port.toUShort());
    ASSERT_TRUE(socket.waitForConnected(5000));
    socket.write(line + "\r\n");
    ASSERT_TRUE(socket.waitForBytesWritten(5000));
    socket.disconnectFromHost();
}

// A notification service on a private bus, and a copy connected to a stand-in peer on 127.0.0.1
// whose window is in the background.
// One bus for the whole run: the program's session connection, once made, stays with it.
PrivateBus& sharedBus() {
    static PrivateBus bus;
    return bus;
}

struct BackgroundCopy {
    PrivateBus& bus = sharedBus();
    QDBusConnection serverBus = QDBusConnection::connectToBus(bus.address, "server");
    NotificationServer server;
    StandInPeer peer;
    PortSet local;
    std::unique_ptr<Copy> copy;
    QWidget elsewhere; // another program's window has the focus

    BackgroundCopy() {
        EXPECT_FALSE(bus.address.isEmpty()) << "dbus-daemon did not start";
        EXPECT_TRUE(serverBus.registerObject(kPath, &server, QDBusConnection::ExportAllSlots));
        EXPECT_TRUE(serverBus.registerService(kService));
        PortSet remote;
        std::tie(local, remote) = freePortSets();
        copy = makeCopy(local, peer.aimedAt(remote), "Cleo");
        goOnline(form());
        elsewhere.show();
        elsewhere.activateWindow();
        EXPECT_TRUE(
            waitUntil([&] { return elsewhere.isActiveWindow() && !form().isActiveWindow(); }));
    }
    ~BackgroundCopy() {
        serverBus.unregisterService(kService);
        serverBus.unregisterObject(kPath);
    }
    TForm1& form() { return *copy->form; }
    bool logHas(const QString& text) { return form().Memo1->toPlainText().contains(text); }
};
} // namespace

TEST(Notifications, OnlyThePeersLinesAreShownUnderItsNameReplacedAndBringTheWindowUp) {
    BackgroundCopy b;
    NotificationServer& server = b.server;
    // Online but not connected: a line from anyone reaches the log, none is notified.
    sendChatLine(b.local.chat, "<Files asked for>: The peer asks for 1 file(s): id_ed25519", true);
    ASSERT_TRUE(waitUntil([&] { return b.logHas("id_ed25519"); }));
    connectTo(b.form(), "127.0.0.1");
    sendChatLine(b.local.chat, "<Ann>: look at <b>this</b>");
    ASSERT_TRUE(waitUntil([&] { return server.shown.size() == 1; }));
    EXPECT_EQ(server.shown[0].replacesId, 0u);
    EXPECT_EQ(server.shown[0].summary, "Ann (127.0.0.1)");
    EXPECT_EQ(server.shown[0].body, "look at &lt;b&gt;this&lt;/b&gt;"); // shown as plain text

    sendChatLine(b.local.chat, "<<i>Ann</i>>: and this");
    ASSERT_TRUE(waitUntil([&] { return server.shown.size() == 2; }));
    EXPECT_EQ(server.shown[1].replacesId, server.shown[0].id);
    EXPECT_EQ(server.shown[1].summary, "&lt;i&gt;Ann&lt;/i&gt; (127.0.0.1)");
    EXPECT_EQ(server.shown[1].body, "and this");

    // The server sends the activation token right before the activation; the window hands it to
    // the platform, which takes it from the environment when the window asks to be activated
    // (under Wayland it is used up then; the offscreen platform leaves it).
    qunsetenv("XDG_ACTIVATION_TOKEN");
    QDBusMessage token = QDBusMessage::createSignal(kPath, kService, "ActivationToken");
    token << server.shown[1].id << QStringLiteral("token-of-the-click");
    ASSERT_TRUE(b.serverBus.send(token));
    QDBusMessage activation = QDBusMessage::createSignal(kPath, kService, "ActionInvoked");
    activation << server.shown[1].id << QStringLiteral("default");
    ASSERT_TRUE(b.serverBus.send(activation));
    EXPECT_TRUE(waitUntil([&] { return b.form().isActiveWindow(); }));
    EXPECT_EQ(qgetenv("XDG_ACTIVATION_TOKEN"), "token-of-the-click");
    qunsetenv("XDG_ACTIVATION_TOKEN");
}

// The largest request a peer may send: as many names as fit 16 MiB. Notifying it takes its count
// and first names only, so the window never stalls for it.
TEST(Notifications, AHugeRequestIsNotifiedWithoutStallingTheWindow) {
    BackgroundCopy b;
    connectTo(b.form(), "127.0.0.1");
    constexpr int kNames = 99990;
    constexpr int kNameBytes = 160;
    QByteArray request = "\xA7\xA7\xA7-AskForTrade-\xA7\xA7\xA7\r\n";
    for (int i = 0; i < kNames; ++i)
        request += QByteArray::number(i).rightJustified(kNameBytes, 'n') + "\r\n";
    ASSERT_LE(request.size(), kMaxTradeMessageBytes);
    const quint16 port = b.form().TradeServer->boundPort();
    GuiHeartbeat heartbeat;
    std::thread sender([&] { sendRawMessage(port, request); });
    const bool shown = waitUntil([&] { return b.server.shown.size() == 1; }, 30000);
    const qint64 longestStallMs = heartbeat.longestGapMs();
    sender.join();
    ASSERT_TRUE(shown);
    EXPECT_EQ(b.form().SendQueue.size(), kNames);
    EXPECT_TRUE(b.server.shown[0].body.startsWith("The peer asks for 99990 file(s): "));
    EXPECT_LT(longestStallMs, 50) << "the window stalled for " << longestStallMs << " ms";
}

#include "test_notifications.moc"
