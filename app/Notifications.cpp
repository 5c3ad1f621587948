#include "app/Notifications.h"

#include "app/NotificationService.h"
#include "common/AnsiText.h"
#include "common/DesktopPlatform.h"
#include "common/DisplayText.h"
#include "common/GuiThread.h"

#include <QApplication>
#include <QGuiApplication>
#include <QWidget>

namespace {
using Kind = NotificationService::Kind;

// Notifications show a few lines; the chat log holds the whole text.
constexpr qsizetype kMaxSummaryChars = 64;
constexpr qsizetype kMaxBodyChars = 200;
constexpr int kAlertUntilActivated = 0; // QApplication::alert: until the window is activated
const QString kChatOpen = QStringLiteral("<");
const QString kChatSeparator = QStringLiteral(">: ");
constexpr char kActivationTokenVariable[] = "XDG_ACTIVATION_TOKEN";

// Under Wayland only a program holding an activation token may take the focus: the one the
// notification server sent with the click is handed to the platform, which reads it from the
// environment when the window asks to be activated (and then clears it).
void raise(QWidget* window, const QString& activationToken) {
    if (!activationToken.isEmpty())
        qputenv(kActivationTokenVariable, activationToken.toUtf8());
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->show();
    window->raise();
    window->activateWindow(); // QWindow::requestActivate
}

// The window's notification service, made with the first notification and owned by the window.
NotificationService* serviceOf(QWidget* window) {
    auto* service = window->findChild<NotificationService*>(QString(), Qt::FindDirectChildrenOnly);
    if (service)
        return service;
    service = new NotificationService(QCoreApplication::applicationName(),
                                      QGuiApplication::desktopFileName(), window);
    QObject::connect(service, &NotificationService::activated, window,
                     [window](const QString& token) { raise(window, token); });
    service->setUrgent(!canRequestAttention());
    return service;
}

// Texts that came from the peer are shown made safe and cut (common/DisplayText.h).
void attend(QWidget* window, Kind kind, const QString& summary, const QString& body) {
    postTo(window, [window, kind, summary = shownText(summary, kMaxSummaryChars),
                    body = shownText(body, kMaxBodyChars)] {
        if (!window->isVisible() || window->isActiveWindow())
            return;
        if (canRequestAttention())
            QApplication::alert(window, kAlertUntilActivated);
        serviceOf(window)->show(kind, summary, body);
    });
}
} // namespace

void notifyChatLine(QWidget* window, const QString& line) {
    // A chat line is "<" + nickname + ">: " + text; a line of another shape (a transfer notice)
    // is shown whole under the program's name.
    const qsizetype separator = line.indexOf(kChatSeparator);
    if (line.startsWith(kChatOpen) && separator > 0)
        attend(window, Kind::Chat, line.mid(1, separator - 1),
               line.mid(separator + kChatSeparator.size()));
    else
        attend(window, Kind::Chat, QCoreApplication::applicationName(), line);
}

void notifyFilesAsked(QWidget* window, const QList<QByteArray>& names) {
    QStringList shown;
    for (const QByteArray& name : names)
        shown << ansi::decode(name);
    const QString body = names.isEmpty() ? QStringLiteral("The peer asks for no files.")
                                         : QStringLiteral("The peer asks for %1 file(s): %2")
                                               .arg(names.size())
                                               .arg(shown.join(", "));
    attend(window, Kind::FilesAsked, QStringLiteral("Files asked for"), body);
}

void notifyPeerAccepted(QWidget* window) {
    attend(window, Kind::PeerAccepted, QStringLiteral("Trade accepted"),
           QStringLiteral("The peer has accepted the trade. It starts when you click \"Start "
                          "download\"."));
}

void notifyTransferEnd(QWidget* window, bool lastFileSended, bool nothingLeftToSend) {
    if (!lastFileSended && !nothingLeftToSend)
        return;
    const QString body =
        !lastFileSended     ? QStringLiteral("All files the peer asked for have been sent.")
        : nothingLeftToSend ? QStringLiteral("Upload/Download has been finished")
                            : QStringLiteral("All files from the peer have arrived.");
    attend(window, Kind::TransferFinished, QStringLiteral("Transfer finished"), body);
}
