#include "support/TwoCopies.h"

#include "app/Settings.h"
#include "common/LineFile.h"
#include "support/TestBus.h"

#include <QAbstractButton>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTest>

#include <gtest/gtest.h>

namespace {
// The lowest port the system hands out for outgoing connections. Ports below it are taken only by
// listeners that ask for them, so an outgoing connection of a test running alongside never lands on
// a port a copy is about to listen on.
int lowestEphemeralPort() {
    QFile range(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range"));
    const int low =
        range.open(QIODevice::ReadOnly) ? range.readAll().simplified().split(' ')[0].toInt() : 0;
    return low > 0 ? low : 32768;
}
} // namespace

std::pair<PortSet, PortSet> freePortSets() {
    constexpr int kLowestPort = 10000;
    const int ephemeral = lowestEphemeralPort();
    const int first = ephemeral > kLowestPort + 1000 ? kLowestPort : 1024;
    // All eight are held at once, so the two sets never share a port.
    QTcpServer holders[8];
    QString ports[8];
    for (int i = 0; i < 8; ++i) {
        while (!holders[i].listen(QHostAddress::LocalHost,
                                  QRandomGenerator::global()->bounded(first, ephemeral))) {
        }
        ports[i] = QString::number(holders[i].serverPort());
    }
    return {{ports[0], ports[1], ports[2], ports[3]}, {ports[4], ports[5], ports[6], ports[7]}};
}

std::unique_ptr<Copy> makeCopy(const PortSet& local, const PortSet& remote, const QString& nick) {
    auto copy = std::make_unique<Copy>();
    QDir().mkpath(copy->tradeFolder());
    QDir().mkpath(copy->saveFolder());
    // Field order of the settings file: save, trade, nick, then the port cells and the delay.
    std::array<QString, kSettingsFieldCount> fields = {copy->saveFolder(),
                                                       copy->tradeFolder(),
                                                       nick,
                                                       local.chat,
                                                       "483",
                                                       local.download,
                                                       local.trade,
                                                       "487",
                                                       "483",
                                                       remote.chat,
                                                       remote.download,
                                                       "487",
                                                       remote.trade,
                                                       "50",
                                                       local.plot,
                                                       "502",
                                                       remote.plot,
                                                       "502"};
    writeLineFile(copy->folder.path() + "/Vorlax.ini", settingsLines(fields, 811, 659, 89, 132));
    startForm(*copy);
    return copy;
}

void startForm(Copy& copy) {
    keepOffTheSystemBus(); // for the benchmarks, which have mains of their own
    FormDialogs dialogs;
    dialogs.showError = [&copy](const QString& text) { copy.errors << text; };
    dialogs.showMessage = [&copy](const QString& text) { copy.messages << text; };
    dialogs.confirm = [&copy](const QString& text) {
        copy.questions << text;
        return copy.answerYes;
    };
    dialogs.chooseColor = [](quint32) { return std::optional<quint32>(); };
    dialogs.chooseSaveFile = [](const QString&) { return QString(); };
    copy.form = std::make_unique<TForm1>(copy.folder.path(), dialogs);
    copy.form->show();
}

void clickAndSettle(TForm1& form, QWidget* button) {
    ASSERT_TRUE(button->isEnabled()) << button->objectName().toStdString();
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !form.attemptRunning(); }, 15000));
    // A box the attempt asked for is queued behind its end; a user sees it at once.
    QCoreApplication::sendPostedEvents();
}

void goOnline(TForm1& form) {
    clickAndSettle(form, form.BitBtn18);
}

void connectTo(TForm1& form, const QString& address) {
    form.Edit2->setText(address);
    clickAndSettle(form, form.BitBtn16);
    // The file list a Connect sends sets the offer when it has gone out: a test that offers files
    // of its own waits for that first.
    ASSERT_TRUE(waitUntil([&] { return !form.agreement.sendsPending(); }, 15000));
}

CopyPair connectedPair() {
    const auto [pa, pb] = freePortSets();
    CopyPair pair{makeCopy(pa, pb, "Anna"), makeCopy(pb, pa, "Bert")};
    goOnline(*pair.a->form);
    goOnline(*pair.b->form);
    connectTo(*pair.a->form, "127.0.0.1");
    connectTo(*pair.b->form, "127.0.0.1");
    EXPECT_EQ(pair.a->form->statusIconIndex, 2);
    EXPECT_EQ(pair.b->form->statusIconIndex, 2);
    return pair;
}

QStringList logLines(const TForm1& form) {
    const QString text = form.Memo1->toPlainText();
    return text.isEmpty() ? QStringList() : text.split('\n');
}

bool logHas(const TForm1& form, const QString& line) {
    return logLines(form).contains(line);
}

bool logHas(const Copy& copy, const QString& line) {
    return logHas(*copy.form, line);
}
