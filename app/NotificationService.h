#pragma once
// Desktop notifications through the freedesktop notification service: the interface
// org.freedesktop.Notifications at /org/freedesktop/Notifications on the session bus, which every
// Linux desktop's notification daemon provides.
//
// Notify(app_name s, replaces_id u, app_icon s, summary s, body s, actions as, hints a{sv},
// expire_timeout i) returns the notification's id; passing that id as replaces_id later replaces
// the notification in place. The server tells ActionInvoked(id u, action_key s) when the user
// activates one ("default": a click on its body) and NotificationClosed(id u, reason u) when one
// goes away. Just before ActionInvoked a server may send ActivationToken(id u, token s): the
// Wayland activation token with which the activated program may bring its window forward.

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <array>
#include <optional>

class NotificationServerProxy;

class NotificationService : public QObject {
    Q_OBJECT
public:
    // One notification of each kind at most is shown at a time: a new one replaces the last.
    enum class Kind { Chat, FilesAsked, PeerAccepted, TransferFinished };
    static constexpr int kKindCount = 4;

    // appName is shown as the sender; desktopId (may be empty) names the icon and desktop entry.
    NotificationService(const QString& appName, const QString& desktopId,
                        QObject* parent = nullptr);
    ~NotificationService() override;

    // Shows summary and body as plain text (both escaped where the server reads markup). Without
    // a notification service on the bus nothing happens and nothing is reported.
    void show(Kind kind, const QString& summary, const QString& body);
    // Where the window cannot ask the desktop for attention itself, the notifications carry the
    // urgency instead: they are sent as critical, which servers keep until the user acts.
    void setUrgent(bool urgent) { urgent_ = urgent; }

signals:
    // The user activated one of the notifications shown by this object. activationToken is the
    // token the server sent for it (ActivationToken), with which a window may take the focus
    // under Wayland; empty when the server sent none.
    void activated(const QString& activationToken);

private:
    struct Texts {
        QString summary, body;
    };
    struct Slot {
        quint32 id = 0;            // the server's id of the notification shown, 0: none
        bool asking = false;       // a Notify call is on its way and its id not known yet
        std::optional<Texts> next; // what to show once it is
    };
    void send(Kind kind, const Texts& texts);

    QString appName_, desktopId_;
    NotificationServerProxy* server_ = nullptr; // null without a session bus
    std::array<Slot, kKindCount> slots_{};
    bool bodyMarkup_ = true; // the server reads markup in the body; assumed until it answers
    bool urgent_ = false;
    // The token the server sent with the activation of a notification (ActivationToken comes
    // right before ActionInvoked), and the notification it belongs to.
    quint32 tokenFor_ = 0;
    QString token_;
};
