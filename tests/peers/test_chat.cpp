// The chat between two real copies over loopback: typed lines with their nicknames in both logs,
// the keys that send, the placeholder, the bytes on the wire, and what the chat listener makes of
// raw connections.

#include "support/TwoCopies.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace {
const QString kPlaceholder = QStringLiteral("Chat here :-)");

// Types text key by key; characters outside Latin-1 go as key events carrying their text.
void typeText(QLineEdit* edit, const QString& text) {
    for (QChar c : text) {
        if (c.unicode() < 0x80)
            QTest::keyClicks(edit, QString(c));
        else
            QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

// Empties the input with a click on the placeholder (or by selecting all and deleting), types the
// text and presses the key.
void say(TForm1& f, const QString& text, Qt::Key key = Qt::Key_Return,
         Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QTest::mouseClick(f.Edit3, Qt::LeftButton);
    QTest::keyClick(f.Edit3, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(f.Edit3, Qt::Key_Delete);
    typeText(f.Edit3, text);
    ASSERT_EQ(f.Edit3->text(), text);
    QTest::keyClick(f.Edit3, key, mods);
}

// A chat listener stand-in: keeps the bytes of every accepted connection apart.
struct RawListener {
    QTcpServer server;
    std::vector<QTcpSocket*> sockets;
    std::vector<QByteArray> received;

    void collect() {
        while (server.hasPendingConnections()) {
            sockets.push_back(server.nextPendingConnection());
            received.emplace_back();
        }
        for (size_t i = 0; i < sockets.size(); ++i)
            received[i] += sockets[i]->readAll();
    }
    bool gotConnectionWith(const QByteArray& bytes) {
        collect();
        return std::find(received.begin(), received.end(), bytes) != received.end();
    }
};

// Sends raw bytes to the copy's chat listener on a connection of their own.
std::unique_ptr<QTcpSocket> rawConnection(quint16 port) {
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, port);
    EXPECT_TRUE(socket->waitForConnected(5000));
    return socket;
}

void sendAndClose(quint16 port, const QByteArray& bytes) {
    auto socket = rawConnection(port);
    if (!bytes.isEmpty()) {
        socket->write(bytes);
        EXPECT_TRUE(socket->waitForBytesWritten(5000));
    }
    socket->disconnectFromHost();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->waitForDisconnected(5000);
}
} // namespace

TEST(Chat, LinesTravelBothWaysWithNicknamesAndEveryEnterKey) {
    CopyPair pair = connectedPair();
    TForm1& a = *pair.a->form;
    TForm1& b = *pair.b->form;

    say(a, "hello");
    EXPECT_EQ(logLines(a), QStringList{"<Anna>: hello"}); // logged at once, before the send
    EXPECT_TRUE(a.Edit3->text().isEmpty());
    ASSERT_TRUE(waitUntil([&] { return logHas(b, "<Anna>: hello"); }));

    say(b, "hi there", Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_TRUE(b.Edit3->text().isEmpty());
    ASSERT_TRUE(waitUntil([&] { return logHas(a, "<Bert>: hi there"); }));

    say(a, "shifted", Qt::Key_Return, Qt::ShiftModifier);
    ASSERT_TRUE(waitUntil([&] { return logHas(b, "<Anna>: shifted"); }));
    say(a, "controlled", Qt::Key_Return, Qt::ControlModifier);
    ASSERT_TRUE(waitUntil([&] { return logHas(b, "<Anna>: controlled"); }));

    // Other keys only edit the input.
    QTest::keyClicks(a.Edit3, "abc");
    QTest::keyClick(a.Edit3, Qt::Key_Backspace);
    EXPECT_EQ(a.Edit3->text(), "ab");

    // Enter on an empty input sends the nickname alone, ending in a space.
    say(a, "");
    ASSERT_TRUE(waitUntil([&] { return logHas(b, "<Anna>: "); }));
    EXPECT_EQ(logLines(a).last(), "<Anna>: ");

    // Two lines typed one right after the other both go out, in the sender's log in order.
    say(b, "one");
    say(b, "two");
    EXPECT_EQ(logLines(b).mid(logLines(b).size() - 2), (QStringList{"<Bert>: one", "<Bert>: two"}));
    ASSERT_TRUE(waitUntil([&] { return logHas(a, "<Bert>: one") && logHas(a, "<Bert>: two"); }));

    // The receiver may finish two quick messages in either order.
    const QStringList got = logLines(a);
    ASSERT_EQ(got.size(), 7);
    EXPECT_EQ(got.mid(0, 5), (QStringList{"<Anna>: hello", "<Bert>: hi there", "<Anna>: shifted",
                                          "<Anna>: controlled", "<Anna>: "}));
    EXPECT_EQ(got.count("<Bert>: one"), 1);
    EXPECT_EQ(got.count("<Bert>: two"), 1);
    EXPECT_TRUE(pair.a->errors.isEmpty());
    EXPECT_TRUE(pair.b->errors.isEmpty());
}

TEST(Chat, EnterWhileNotConnectedChangesNothing) {
    CopyPair pair = connectedPair();
    TForm1& a = *pair.a->form;
    TForm1& b = *pair.b->form;
    clickAndSettle(a, a.BitBtn17); // Disconnect
    ASSERT_FALSE(a.ChatClient->Connected());
    say(a, "lost words");
    EXPECT_EQ(a.Edit3->text(), "lost words");
    QTest::keyClick(a.Edit3, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(a.Edit3->text(), "lost words");
    EXPECT_TRUE(logLines(a).isEmpty());

    // B still reaches A, whose listener keeps running; a marker from B shows nothing else came.
    say(b, "marker");
    ASSERT_TRUE(waitUntil([&] { return logHas(a, "<Bert>: marker"); }));
    EXPECT_EQ(logLines(a), QStringList{"<Bert>: marker"});
    EXPECT_EQ(logLines(b), QStringList{"<Bert>: marker"});

    // A copy that never went online has no chat at all.
    auto [local, remote] = freePortSets();
    auto lone = makeCopy(local, remote, "Lone");
    QTest::keyClick(lone->form->Edit3, Qt::Key_Return);
    EXPECT_EQ(lone->form->Edit3->text(), kPlaceholder);
    EXPECT_TRUE(logLines(*lone->form).isEmpty());
}

TEST(Chat, PlaceholderIsSentFromTheKeyboardAndClearedOnlyByAClickOnItsExactText) {
    CopyPair pair = connectedPair();
    TForm1& a = *pair.a->form;
    TForm1& b = *pair.b->form;
    ASSERT_EQ(b.Edit3->text(), kPlaceholder);
    QTest::keyClick(b.Edit3, Qt::Key_Return); // reached with the keyboard, never clicked
    ASSERT_TRUE(waitUntil([&] { return logHas(a, "<Bert>: Chat here :-)"); }));
    EXPECT_EQ(logLines(b), QStringList{"<Bert>: Chat here :-)"});
    EXPECT_TRUE(b.Edit3->text().isEmpty());

    // A click clears exactly the placeholder text; anything else stays.
    for (const QString& other : {QStringLiteral("chat here :-)"), QStringLiteral("xChat here :-)"),
                                 QStringLiteral("Chat here :-) "), QStringLiteral("Chat here")}) {
        a.Edit3->setText(other);
        QTest::mouseClick(a.Edit3, Qt::LeftButton);
        EXPECT_EQ(a.Edit3->text(), other);
    }
    a.Edit3->setText(kPlaceholder);
    QTest::mouseClick(a.Edit3, Qt::LeftButton);
    EXPECT_TRUE(a.Edit3->text().isEmpty());
    // Typing it again and clicking clears it again: the text decides, not a first-click flag.
    QTest::keyClicks(a.Edit3, kPlaceholder);
    QTest::mouseClick(a.Edit3, Qt::LeftButton);
    EXPECT_TRUE(a.Edit3->text().isEmpty());
    // Clicking an empty input does nothing, and nothing was ever sent by a click.
    QTest::mouseClick(a.Edit3, Qt::LeftButton);
    EXPECT_TRUE(a.Edit3->text().isEmpty());
    EXPECT_EQ(logLines(a), QStringList{"<Bert>: Chat here :-)"});
}

TEST(Chat, NonAsciiTextAndOddNicknamesArriveUnchanged) {
    CopyPair pair = connectedPair();
    TForm1& a = *pair.a->form;
    TForm1& b = *pair.b->form;
    const QString euro = QStringLiteral("5 \u20AC für Ä");
    const QString cyrillic = QStringLiteral("Привет, мир \u20AC");
    say(a, euro);
    ASSERT_TRUE(waitUntil([&] { return logHas(b, "<Anna>: " + euro); }));
    say(a, cyrillic);
    ASSERT_TRUE(waitUntil([&] { return logHas(b, "<Anna>: " + cyrillic); }));

    b.Edit5->setText(QStringLiteral("B>: ert <x>"));
    say(b, "a>: b");
    const QString odd = QStringLiteral("<B>: ert <x>>: a>: b");
    EXPECT_EQ(logLines(b).last(), odd);
    ASSERT_TRUE(waitUntil([&] { return logHas(a, odd); }));
    b.Edit5->setText(QStringLiteral("Борис"));
    say(b, "да");
    ASSERT_TRUE(waitUntil([&] { return logHas(a, QStringLiteral("<Борис>: да")); }));
    EXPECT_EQ(logLines(a), (QStringList{"<Anna>: " + euro, "<Anna>: " + cyrillic, odd,
                                        QStringLiteral("<Борис>: да")}));
}

TEST(Chat, LinesGoOnTheWireAsAnsiBytesOneConnectionPerLine) {
    CopyPair pair = connectedPair();
    TForm1& a = *pair.a->form;
    RawListener raw;
    ASSERT_TRUE(raw.server.listen(QHostAddress::LocalHost, 0));
    // A's chat client is pointed at the stand-in; its other channels still reach B.
    clickAndSettle(a, a.BitBtn17);
    goOnline(a); // offline
    a.Edit13->setText(QString::number(raw.server.serverPort()));
    goOnline(a);
    connectTo(a, "127.0.0.1");
    ASSERT_EQ(a.statusIconIndex, 2);
    ASSERT_TRUE(a.ChatClient->Connected());

    say(a, QStringLiteral("\u20AC 5"));
    ASSERT_TRUE(waitUntil([&] { return raw.gotConnectionWith("<Anna>: \x80 5\r\n"); }));
    say(a, QStringLiteral("Ж"));
    ASSERT_TRUE(waitUntil(
        [&] { return raw.gotConnectionWith("<Anna>: " + QStringLiteral("Ж").toUtf8() + "\r\n"); }));
    say(a, "");
    ASSERT_TRUE(waitUntil([&] { return raw.gotConnectionWith("<Anna>: \r\n"); }));
    // Each line had a connection of its own, and the next one already waits idle.
    ASSERT_TRUE(waitUntil([&] {
        raw.collect();
        return raw.sockets.size() >= 4;
    }));
    int nonEmpty = 0;
    for (const QByteArray& bytes : raw.received)
        nonEmpty += bytes.isEmpty() ? 0 : 1;
    EXPECT_EQ(nonEmpty, 3);
    EXPECT_TRUE(raw.received.back().isEmpty());
}

TEST(Chat, ListenerJoinsTheLinesOfOneConnectionAndIgnoresEmptyOnes) {
    auto [local, remote] = freePortSets();
    auto copy = makeCopy(local, remote, "Cleo");
    TForm1& f = *copy->form;
    goOnline(f); // listening, never connected: received lines are logged all the same
    ASSERT_TRUE(f.ChatServer->Listening());
    const quint16 port = f.ChatServer->boundPort();

    sendAndClose(port, "first\r\nsecond\r\n");
    ASSERT_TRUE(waitUntil([&] { return !logLines(f).isEmpty(); }));
    EXPECT_EQ(logLines(f), QStringList{"firstsecond"});

    // A last line without CR LF still counts; an empty line ends the message early.
    sendAndClose(port, "x\r\ny\r\n\r\nlost\r\n");
    ASSERT_TRUE(waitUntil([&] { return logLines(f).size() == 2; }));
    EXPECT_EQ(logLines(f).last(), "xy");
    sendAndClose(port, "tail\r\nend");
    ASSERT_TRUE(waitUntil([&] { return logLines(f).size() == 3; }));
    EXPECT_EQ(logLines(f).last(), "tailend");

    // Empty first line: the listener stops reading and drops the connection without logging,
    // however much follows.
    auto early = rawConnection(port);
    early->write("\r\nafter\r\nmore\r\n");
    ASSERT_TRUE(early->waitForBytesWritten(5000));
    ASSERT_TRUE(waitUntil([&] { return early->state() == QAbstractSocket::UnconnectedState; }));

    // Connect and close without data, then a marker: only the marker is logged.
    sendAndClose(port, {});
    sendAndClose(port, "marker\r\n");
    ASSERT_TRUE(waitUntil([&] { return logLines(f).size() == 4; }));
    EXPECT_EQ(logLines(f), (QStringList{"firstsecond", "xy", "tailend", "marker"}));
    // Bytes that are not UTF-8 are read as windows-1252.
    sendAndClose(port, "\x80 \xE4\r\n");
    ASSERT_TRUE(waitUntil([&] { return logLines(f).size() == 5; }));
    EXPECT_EQ(logLines(f).last(), QStringLiteral("\u20AC ä"));
    EXPECT_TRUE(copy->errors.isEmpty());
}
