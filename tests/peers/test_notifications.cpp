// Notifications while the window is in the background: a chat line that arrives reaches the
// desktop's notification service (here a stand-in on a private session bus), a second one
// replaces the first, and activating it brings the window up with the server's activation token.

#include "support/TwoCopies.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QTcpSocket>
#include <QVariantMap>
#include <QWidget>

#include <gtest/gtest.h>

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

void sendChatLine(const QString& port, const QByteArray& line) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port.toUShort());
    ASSERT_TRUE(socket.waitForConnected(5000));
    socket.write(line + "\r\n");
    ASSERT_TRUE(socket.waitForBytesWritten(5000));
    socket.disconnectFromHost();
}
} // namespace

TEST(Notifications, ChatLineInTheBackgroundIsShownReplacedAndBringsTheWindowUp) {
    PrivateBus bus;
    ASSERT_FALSE(bus.address.isEmpty()) << "dbus-daemon did not start";
    QDBusConnection serverBus = QDBusConnection::connectToBus(bus.address, "server");
    NotificationServer server;
    ASSERT_TRUE(serverBus.registerObject(kPath, &server, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(serverBus.registerService(kService));

    const auto [local, remote] = freePortSets();
    auto copy = makeCopy(local, remote, "Cleo");
    TForm1& form = *copy->form;
    goOnline(form);
    QWidget elsewhere; // another program's window has the focus
    elsewhere.show();
    elsewhere.activateWindow();
    ASSERT_TRUE(waitUntil([&] { return elsewhere.isActiveWindow() && !form.isActiveWindow(); }));

    sendChatLine(local.chat, "<Ann>: look at <b>this</b>");
    ASSERT_TRUE(waitUntil([&] { return server.shown.size() == 1; }));
    EXPECT_EQ(server.shown[0].replacesId, 0u);
    EXPECT_EQ(server.shown[0].summary, "Ann");
    EXPECT_EQ(server.shown[0].body, "look at &lt;b&gt;this&lt;/b&gt;"); // shown as plain text

    sendChatLine(local.chat, "<Ann>: and this");
    ASSERT_TRUE(waitUntil([&] { return server.shown.size() == 2; }));
    EXPECT_EQ(server.shown[1].replacesId, server.shown[0].id);
    EXPECT_EQ(server.shown[1].body, "and this");

    // The server sends the activation token right before the activation; the window hands it to
    // the platform, which takes it from the environment when the window asks to be activated
    // (under Wayland it is used up then; the offscreen platform leaves it).
    qunsetenv("XDG_ACTIVATION_TOKEN");
    QDBusMessage token = QDBusMessage::createSignal(kPath, kService, "ActivationToken");
    token << server.shown[1].id << QStringLiteral("token-of-the-click");
    ASSERT_TRUE(serverBus.send(token));
    QDBusMessage activation = QDBusMessage::createSignal(kPath, kService, "ActionInvoked");
    activation << server.shown[1].id << QStringLiteral("default");
    ASSERT_TRUE(serverBus.send(activation));
    EXPECT_TRUE(waitUntil([&] { return form.isActiveWindow(); }));
    EXPECT_EQ(qgetenv("XDG_ACTIVATION_TOKEN"), "token-of-the-click");
    qunsetenv("XDG_ACTIVATION_TOKEN");
    EXPECT_TRUE(copy->errors.isEmpty());
}

#include "test_notifications.moc"
