#include "app/ListenerCheck.h"

#include "app/MainForm.h"

#include <QApplication>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

namespace {
constexpr int kOnlineDeadlineMs = 10000;
constexpr int kPollMs = 50;

void print(const QString& line) {
    std::printf("%s\n", line.toLocal8Bit().constData());
}
} // namespace

int runOnlineCheck(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName("Vorlax");
    QStringList errors;
    FormDialogs dialogs;
    dialogs.showError = [&errors](const QString& text) { errors << text; };
    dialogs.showMessage = [](const QString&) {}; // the first-start hint
    TForm1 form({}, dialogs);
    print(QStringLiteral("Text files: %1").arg(form.programFolder()));

    // Going online ends on the event loop; the check looks every kPollMs whether it has.
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(kPollMs);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!form.attemptRunning())
            loop.quit();
    });
    QTimer::singleShot(kOnlineDeadlineMs, &loop, &QEventLoop::quit);
    form.BitBtn18->click(); // "Offline": go online
    poll.start();
    loop.exec();

    struct Listener {
        const char* channel;
        bool listening;
        QString port;
    };
    const Listener listeners[] = {
        {"Chat", form.ChatServer->Listening(), form.ChatServer->LocalPort()},
        {"Trade", form.TradeServer->Listening(), form.TradeServer->LocalPort()},
        {"Plot", form.Plot_Server->Listening(), form.Plot_Server->LocalPort()},
        {"Download", form.DownloadServer->Listening(),
         QString::number(form.DownloadServer->Port())}};
    bool all = !form.attemptRunning();
    for (const Listener& l : listeners) {
        print(QStringLiteral("%1 server: %2 on port %3")
                  .arg(QLatin1String(l.channel), l.listening ? "listening" : "NOT listening",
                       l.port));
        all = all && l.listening;
    }
    const QString log = form.Memo1->toPlainText();
    if (!log.isEmpty())
        print(QStringLiteral("Chat log:\n%1").arg(log));
    form.close();
    for (const QString& error : std::as_const(errors))
        print(QStringLiteral("Error: %1").arg(error));
    return all && errors.isEmpty() ? 0 : 1;
}
