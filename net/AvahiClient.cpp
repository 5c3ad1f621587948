#include "net/AvahiClient.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QHostAddress>

namespace {
const QString kAvahiService = QStringLiteral("org.freedesktop.Avahi");
const QString kServerPath = QStringLiteral("/");
constexpr char kServerInterface[] = "org.freedesktop.Avahi.Server";
constexpr char kServer2Interface[] = "org.freedesktop.Avahi.Server2";
constexpr char kBrowserInterface[] = "org.freedesktop.Avahi.ServiceBrowser";
constexpr char kResolverInterface[] = "org.freedesktop.Avahi.ServiceResolver";
constexpr char kGroupInterface[] = "org.freedesktop.Avahi.EntryGroup";
const QString kCollisionError = QStringLiteral("org.freedesktop.Avahi.CollisionError");
const QString kUnknownMethodError = QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod");

// Avahi's numbers for "any interface", the protocols and the states it reports.
constexpr int kAnyInterface = -1;
constexpr int kAnyProtocol = -1;
constexpr int kIPv4 = 0;
constexpr int kServerRunning = 2;
constexpr int kGroupCollision = 3;
constexpr int kMaxRenames = 16; // alternative names tried before the announcement is given up

// The arguments of ItemNew/ItemRemove and Found that name a sighting.
SightingKey sightingOf(const QList<QVariant>& args) {
    return {args.value(0).toInt(), args.value(1).toInt(), args.value(2).toString()};
}
} // namespace

AvahiClient::AvahiClient(QDBusConnection bus, uint64_t ownRunId, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), ownRunId_(ownRunId) {
    qDBusRegisterMetaType<QList<QByteArray>>(); // TXT strings travel as "aay"
    if (!bus_.isConnected()) {
        known_ = true;
        return;
    }
    // Subscribed for every object of the daemon before any is made, each slot picking its own
    // objects by path: so no signal of a new object can come before the subscription.
    struct Subscription {
        const char* interface;
        const char* signal;
        const char* slot;
    };
    const Subscription subscriptions[] = {
        {kBrowserInterface, "ItemNew", SLOT(onItemNew(QDBusMessage))},
        {kBrowserInterface, "ItemRemove", SLOT(onItemRemove(QDBusMessage))},
        {kResolverInterface, "Found", SLOT(onResolverFound(QDBusMessage))},
        {kGroupInterface, "StateChanged", SLOT(onGroupStateChanged(QDBusMessage))},
    };
    for (const Subscription& s : subscriptions)
        bus_.connect(kAvahiService, QString(), QLatin1String(s.interface), QLatin1String(s.signal),
                     this, s.slot);
    bus_.connect(kAvahiService, kServerPath, QLatin1String(kServerInterface),
                 QStringLiteral("StateChanged"), this, SLOT(onServerStateChanged(QDBusMessage)));

    watcher_ = new QDBusServiceWatcher(kAvahiService, bus_,
                                       QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString& oldOwner, const QString& newOwner) {
                if (!oldOwner.isEmpty())
                    setPresent(false);
                if (!newOwner.isEmpty())
                    setPresent(true);
            });
    QDBusMessage hasOwner = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    hasOwner << kAvahiService;
    callAsync(hasOwner, [this](const QDBusMessage& reply) {
        if (!known_)
            setPresent(reply.type() == QDBusMessage::ReplyMessage &&
                       reply.arguments().value(0).toBool());
    });
}

AvahiClient::~AvahiClient() {
    // The daemon frees what a client made only when the client leaves the bus; two copies in one
    // process share their connection, so each frees its own objects.
    if (!available_)
        return;
    for (const auto& [key, lookup] : lookups_)
        if (!lookup.path.isEmpty())
            fireAndForget(avahiCall(lookup.path, kResolverInterface, "Free"));
    if (!browserPath_.isEmpty())
        fireAndForget(avahiCall(browserPath_, kBrowserInterface, "Free"));
    if (!groupPath_.isEmpty())
        fireAndForget(avahiCall(groupPath_, kGroupInterface, "Free"));
}

QDBusMessage AvahiClient::avahiCall(const QString& path, const char* interface, const char* method,
                                    const QList<QVariant>& arguments) const {
    QDBusMessage call = QDBusMessage::createMethodCall(
        kAvahiService, path, QLatin1String(interface), QLatin1String(method));
    call.setArguments(arguments);
    // A daemon that is not running is not started for us: finding copies is only a hint.
    call.setAutoStartService(false);
    return call;
}

void AvahiClient::callAsync(const QDBusMessage& call,
                            std::function<void(const QDBusMessage&)> onReply) {
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, watcher, round = daemonRound_, onReply = std::move(onReply)] {
                watcher->deleteLater();
                if (round == daemonRound_)
                    onReply(watcher->reply());
            });
}

void AvahiClient::fireAndForget(const QDBusMessage& call) const {
    bus_.send(call);
}

void AvahiClient::createLookup(const char* prepareMethod, const char* newMethod,
                               const char* interface, const QList<QVariant>& arguments,
                               std::function<void(const QString&)> made) {
    callAsync(
        avahiCall(kServerPath, kServer2Interface, prepareMethod, arguments),
        [=, this](const QDBusMessage& reply) {
            if (reply.type() == QDBusMessage::ReplyMessage) {
                const QString path = qdbus_cast<QDBusObjectPath>(reply.arguments().value(0)).path();
                made(path);
                fireAndForget(avahiCall(path, interface, "Start"));
            } else if (reply.errorName() == kUnknownMethodError) {
                callAsync(
                    avahiCall(kServerPath, kServerInterface, newMethod, arguments),
                    [made](const QDBusMessage& created) {
                        if (created.type() == QDBusMessage::ReplyMessage)
                            made(qdbus_cast<QDBusObjectPath>(created.arguments().value(0)).path());
                    });
            }
        });
}

void AvahiClient::setPresent(bool present) {
    const bool wasKnown = std::exchange(known_, true);
    if (present == available_) {
        if (!wasKnown)
            emit changed();
        return;
    }
    available_ = present;
    // Replies and objects of the daemon that went are void.
    ++daemonRound_;
    browserPath_.clear();
    groupPath_.clear();
    groupRequested_ = false;
    lookups_.clear();
    found_.clear();
    if (present) {
        startBrowser();
        if (wanted_)
            ensureGroup();
    }
    emit changed();
}

void AvahiClient::startBrowser() {
    createLookup("ServiceBrowserPrepare", "ServiceBrowserNew", kBrowserInterface,
                 {kAnyInterface, kIPv4, QString::fromLatin1(kDiscoveryServiceType), QString(), 0u},
                 [this](const QString& path) { browserPath_ = path; });
}

void AvahiClient::onItemNew(const QDBusMessage& message) {
    if (message.path() != browserPath_ || browserPath_.isEmpty())
        return;
    const SightingKey key = sightingOf(message.arguments());
    if (!found_.track(key))
        return;
    freeLookupsPushedOut();
    const uint64_t token = ++nextToken_;
    lookups_[key] = {token, QString()};
    createLookup("ServiceResolverPrepare", "ServiceResolverNew", kResolverInterface,
                 {key.interfaceIndex, key.protocol, key.name, message.arguments().value(3),
                  message.arguments().value(4), kIPv4, 0u},
                 [this, key, token](const QString& path) {
                     const auto it = lookups_.find(key);
                     if (it != lookups_.end() && it->second.token == token)
                         it->second.path = path;
                     else // the sighting went while its resolver was being made
                         fireAndForget(avahiCall(path, kResolverInterface, "Free"));
                 });
}

void AvahiClient::onItemRemove(const QDBusMessage& message) {
    if (message.path() != browserPath_ || browserPath_.isEmpty())
        return;
    const SightingKey key = sightingOf(message.arguments());
    if (!found_.tracked(key))
        return;
    freeResolver(key);
    emit changed();
}

void AvahiClient::freeResolver(const SightingKey& key) {
    const auto it = lookups_.find(key);
    if (it != lookups_.end() && !it->second.path.isEmpty())
        fireAndForget(avahiCall(it->second.path, kResolverInterface, "Free"));
    if (it != lookups_.end())
        lookups_.erase(it);
    found_.forget(key);
}

// The list bounds what it keeps by pushing sightings out: their resolvers go with them.
void AvahiClient::freeLookupsPushedOut() {
    for (auto it = lookups_.begin(); it != lookups_.end();) {
        if (found_.tracked(it->first)) {
            ++it;
            continue;
        }
        if (!it->second.path.isEmpty())
            fireAndForget(avahiCall(it->second.path, kResolverInterface, "Free"));
        it = lookups_.erase(it);
    }
}

// Found comes again whenever what the copy announces changes, as long as its resolver lives.
void AvahiClient::onResolverFound(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    const SightingKey key = sightingOf(args);
    const auto it = lookups_.find(key);
    if (it == lookups_.end() || it->second.path != message.path())
        return;
    const QHostAddress address(args.value(7).toString());
    bool isIPv4 = false;
    const uint32_t ipv4 = address.toIPv4Address(&isIPv4);
    const std::optional<Announcement> announcement =
        parseTxt(qdbus_cast<QList<QByteArray>>(args.value(9)));
    if (!isIPv4 || !announcement || announcement->runId == ownRunId_) {
        // Not a copy this one can list: its slot is given back.
        freeResolver(key);
        emit changed();
        return;
    }
    found_.resolve(key, FoundCopy{shownServiceName(key.name),
                                  shownHostName(args.value(5).toString()), ipv4, *announcement});
    freeLookupsPushedOut();
    emit changed();
}

void AvahiClient::publish(const QString& name, uint16_t port, const QList<QByteArray>& txt) {
    wanted_ = Publication{name, port, txt};
    publishedName_ = name;
    renames_ = 0;
    if (!available_)
        return;
    if (groupPath_.isEmpty())
        ensureGroup();
    else
        sendPublication();
}

void AvahiClient::withdraw() {
    wanted_.reset();
    ++publishRound_;
    if (available_ && !groupPath_.isEmpty())
        fireAndForget(avahiCall(groupPath_, kGroupInterface, "Reset"));
}

void AvahiClient::ensureGroup() {
    if (groupRequested_)
        return;
    groupRequested_ = true;
    callAsync(avahiCall(kServerPath, kServerInterface, "EntryGroupNew"),
              [this](const QDBusMessage& reply) {
                  if (reply.type() != QDBusMessage::ReplyMessage)
                      return;
                  groupPath_ = qdbus_cast<QDBusObjectPath>(reply.arguments().value(0)).path();
                  if (wanted_)
                      sendPublication();
              });
}

// Calls on one connection reach the daemon in the order they were sent: Reset, then AddService,
// then (once that succeeded) Commit.
void AvahiClient::sendPublication() {
    if (!wanted_ || groupPath_.isEmpty())
        return;
    const uint64_t round = ++publishRound_;
    fireAndForget(avahiCall(groupPath_, kGroupInterface, "Reset"));
    QDBusMessage add =
        avahiCall(groupPath_, kGroupInterface, "AddService",
                  {kAnyInterface, kAnyProtocol, 0u, publishedName_,
                   QString::fromLatin1(kDiscoveryServiceType), QString(), QString(),
                   QVariant::fromValue(ushort(wanted_->port)), QVariant::fromValue(wanted_->txt)});
    callAsync(add, [this, round](const QDBusMessage& reply) {
        if (round != publishRound_)
            return;
        if (reply.type() == QDBusMessage::ReplyMessage)
            fireAndForget(avahiCall(groupPath_, kGroupInterface, "Commit"));
        else if (reply.errorName() == kCollisionError)
            renameAfterCollision();
    });
}

// Another service holds the name: Avahi's own rule gives the next one ("Anna #2").
void AvahiClient::renameAfterCollision() {
    if (++renames_ > kMaxRenames)
        return;
    const uint64_t round = publishRound_;
    callAsync(
        avahiCall(kServerPath, kServerInterface, "GetAlternativeServiceName", {publishedName_}),
        [this, round](const QDBusMessage& reply) {
            if (round != publishRound_ || reply.type() != QDBusMessage::ReplyMessage)
                return;
            publishedName_ = reply.arguments().value(0).toString();
            sendPublication();
        });
}

void AvahiClient::onGroupStateChanged(const QDBusMessage& message) {
    if (message.path() == groupPath_ && !groupPath_.isEmpty() && wanted_ &&
        message.arguments().value(0).toInt() == kGroupCollision)
        renameAfterCollision();
}

// While the daemon renames its host, announcements wait; once it runs again, this copy's is
// made anew.
void AvahiClient::onServerStateChanged(const QDBusMessage& message) {
    if (available_ && wanted_ && message.arguments().value(0).toInt() == kServerRunning)
        sendPublication();
}
