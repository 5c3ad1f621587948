#include "app/NotificationService.h"

#include <QDBusAbstractInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include <utility>

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kDefaultAction = QStringLiteral("default");
const QString kOpenCaption = QStringLiteral("Open");
const QString kBodyMarkup = QStringLiteral("body-markup");
constexpr qint32 kServerChoosesTimeout = -1;
constexpr uchar kNormalUrgency = 1;
constexpr uchar kCriticalUrgency = 2;
} // namespace

// The server's two signals, connected on the bus as soon as something connects to them here.
class NotificationServerProxy : public QDBusAbstractInterface {
    Q_OBJECT
public:
    NotificationServerProxy(const QDBusConnection& bus, QObject* parent)
        : QDBusAbstractInterface(kService, kPath, kService.toLatin1().constData(), bus, parent) {}
signals:
    void ActionInvoked(uint id, const QString& actionKey);
    void NotificationClosed(uint id, uint reason);
    void ActivationToken(uint id, const QString& token);
};

NotificationService::NotificationService(const QString& appName, const QString& desktopId,
                                         QObject* parent)
    : QObject(parent), appName_(appName), desktopId_(desktopId) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    server_ = new NotificationServerProxy(bus, this);
    connect(server_, &NotificationServerProxy::ActivationToken, this,
            [this](uint id, const QString& token) {
                tokenFor_ = id;
                token_ = token;
            });
    connect(server_, &NotificationServerProxy::ActionInvoked, this,
            [this](uint id, const QString& key) {
                const QString token =
                    id == tokenFor_ ? std::exchange(token_, QString()) : QString();
                for (const Slot& slot : slots_)
                    if (id != 0 && slot.id == id && key == kDefaultAction)
                        emit activated(token);
            });
    connect(server_, &NotificationServerProxy::NotificationClosed, this, [this](uint id, uint) {
        for (Slot& slot : slots_)
            if (slot.id == id)
                slot.id = 0;
    });
    auto* watcher = new QDBusPendingCallWatcher(server_->asyncCall("GetCapabilities"), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<QStringList> reply = *w;
        if (reply.isValid())
            bodyMarkup_ = reply.value().contains(kBodyMarkup);
        w->deleteLater();
    });
}

NotificationService::~NotificationService() = default;

void NotificationService::show(Kind kind, const QString& summary, const QString& body) {
    if (!server_)
        return;
    Slot& slot = slots_[int(kind)];
    // Until the server has said which id the last one got, a new one could not replace it: the
    // newest texts wait for the answer instead.
    if (slot.asking) {
        slot.next = Texts{summary, body};
        return;
    }
    send(kind, {summary, body});
}

void NotificationService::send(Kind kind, const Texts& texts) {
    Slot& slot = slots_[int(kind)];
    slot.asking = true;
    QVariantMap hints{{QStringLiteral("urgency"),
                       QVariant::fromValue(urgent_ ? kCriticalUrgency : kNormalUrgency)}};
    if (!desktopId_.isEmpty())
        hints.insert(QStringLiteral("desktop-entry"), desktopId_);
    // Both texts are plain: where the server reads markup (some read it in the summary too),
    // they are escaped.
    const QString summary = bodyMarkup_ ? texts.summary.toHtmlEscaped() : texts.summary;
    const QString body = bodyMarkup_ ? texts.body.toHtmlEscaped() : texts.body;
    const QDBusPendingCall call =
        server_->asyncCall(QStringLiteral("Notify"), appName_, slot.id, desktopId_, summary, body,
                           QStringList{kDefaultAction, kOpenCaption}, hints, kServerChoosesTimeout);
    auto* watcher = new QDBusPendingCallWatcher(call, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, kind](QDBusPendingCallWatcher* w) {
                const QDBusPendingReply<quint32> reply = *w;
                w->deleteLater();
                Slot& slot = slots_[int(kind)];
                slot.asking = false;
                // No service on the bus: the reply is an error, and nothing is shown.
                if (reply.isValid())
                    slot.id = reply.value();
                if (slot.next) {
                    const Texts next = *slot.next;
                    slot.next.reset();
                    send(kind, next);
                }
            });
}

#include "NotificationService.moc"
