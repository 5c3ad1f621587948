#include "app/Notifications.h"

#include "app/NotificationService.h"
#include "common/AnsiText.h"
#include "common/DesktopPlatform.h"
#include "common/DisplayText.h"
#include "common/GuiThread.h"

#include <QApplication>
#include <QGuiApplication>
#include <QVariant>
#include <QWidget>

#include <algorithm>

namespace {
using Kind = NotificationService::Kind;

// Notifications show a few lines; the chat log holds the whole text.
constexpr qsizetype kMaxSummaryChars = 64;
constexpr qsizetype kMaxBodyChars = 200;
constexpr qsizetype kShownNames = 3;         // a request's first names shown, after its count
constexpr qsizetype kMaxShownNameBytes = 64; // of each, cut before decoding
constexpr int kAlertUntilActivated = 0;      // QApplication::alert: until the window is activated
const QString kChatOpen = QStringLiteral("<");
const QString kChatSeparator = QStringLiteral(">: ");
constexpr char kActivationTokenVariable[] = "XDG_ACTIVATION_TOKEN";
// The window keeps the nickname of the peer's last chat line, for the titles of the other kinds.
constexpr char kPeerNicknameProperty[] = "vorlaxPeerNickname";

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

// "nickname (address)", or the address alone before the peer has written a chat line.
QString peerTitle(QWidget* window, const QString& peerAddress) {
    const QString nickname = window->property(kPeerNicknameProperty).toString();
    return nickname.isEmpty() ? peerAddress : QStringLiteral("%1 (%2)").arg(nickname, peerAddress);
}

// Texts that came from the peer are shown made safe and cut (common/DisplayText.h). A nickname
// given is the peer's newest one, kept for later titles.
void attend(QWidget* window, Kind kind, const QString& peerAddress, const QString& body,
            const QString& nickname = {}) {
    later(window, [window, kind, peerAddress, nickname = shownText(nickname, kMaxSummaryChars),
                   body = shownText(body, kMaxBodyChars)] {
        if (!nickname.isEmpty())
            window->setProperty(kPeerNicknameProperty, nickname);
        if (!window->isVisible() || window->isActiveWindow())
            return;
        if (canRequestAttention())
            QApplication::alert(window, kAlertUntilActivated);
        serviceOf(window)->show(kind, peerTitle(window, peerAddress), body);
    });
}
} // namespace

void notifyChatLine(QWidget* window, const QString& peerAddress, const QString& line) {
    // A chat line is "<" + nickname + ">: " + text; a line of another shape (a transfer notice)
    // is shown whole.
    const qsizetype separator = line.indexOf(kChatSeparator);
    if (line.startsWith(kChatOpen) && separator > 0)
        attend(window, Kind::Chat, peerAddress, line.mid(separator + kChatSeparator.size()),
               line.mid(1, separator - 1));
    else
        attend(window, Kind::Chat, peerAddress, line);
}

void notifyFilesAsked(QWidget* window, const QString& peerAddress, const QList<QByteArray>& names) {
    QStringList shown;
    for (qsizetype i = 0; i < std::min(names.size(), kShownNames); ++i)
        shown << ansi::decode(names[i].left(kMaxShownNameBytes));
    if (names.size() > kShownNames)
        shown << QStringLiteral("…");
    const QString body = names.isEmpty() ? QStringLiteral("The peer asks for no files.")
                                         : QStringLiteral("The peer asks for %1 file(s): %2")
                                               .arg(names.size())
                                               .arg(shown.join(", "));
    attend(window, Kind::FilesAsked, peerAddress, body);
}

void notifyPeerAccepted(QWidget* window, const QString& peerAddress) {
    attend(window, Kind::PeerAccepted, peerAddress,
           QStringLiteral("The peer has accepted the trade. It starts when you click \"Start "
                          "download\"."));
}

void notifyTransferEnd(QWidget* window, const QString& peerAddress, bool lastFileSended,
                       bool nothingLeftToSend) {
    if (!lastFileSended && !nothingLeftToSend)
        return;
    const QString body =
        !lastFileSended     ? QStringLiteral("All files the peer asked for have been sent.")
        : nothingLeftToSend ? QStringLiteral("Upload/Download has been finished")
                            : QStringLiteral("All files from the peer have arrived.");
    attend(window, Kind::TransferFinished, peerAddress, body);
}
