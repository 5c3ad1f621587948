#pragma once
// This copy's announcement on the network and the announcements of the others, through the Avahi
// daemon's D-Bus API on the system bus. Everything runs on the thread that owns the object (the
// GUI thread) and never waits: every call is asynchronous and its reply handled when it comes.
//
// The daemon may be absent, stop or start at any time: its bus name is watched, and each time it
// appears the browser (and the announcement, if one is wanted) is set up anew; when it goes, the
// list empties. Nothing of that is an error for the user.

#include "net/Discovery.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>

#include <functional>
#include <map>
#include <optional>

class QDBusServiceWatcher;

class AvahiClient : public QObject {
    Q_OBJECT
public:
    // ownRunId: announcements carrying it are this copy's own and never listed.
    AvahiClient(QDBusConnection bus, uint64_t ownRunId, QObject* parent = nullptr);
    ~AvahiClient() override;

    // Whether the daemon is known to be there (false too while that is not known yet).
    bool available() const { return available_; }
    // Whether the bus has told whether the daemon is there.
    bool known() const { return known_; }
    std::vector<FoundCopy> copies() const { return found_.copies(); }

    // Announces (or announces anew) this copy; kept while the daemon comes and goes.
    void publish(const QString& name, uint16_t port, const QList<QByteArray>& txt);
    void withdraw();

signals:
    // The daemon came or went, or the list of copies changed.
    void changed();

private slots:
    // Qt D-Bus connects a bus signal to a slot named in text only, so these are slots.
    void onItemNew(const QDBusMessage& message);
    void onItemRemove(const QDBusMessage& message);
    void onResolverFound(const QDBusMessage& message);
    void onGroupStateChanged(const QDBusMessage& message);
    void onServerStateChanged(const QDBusMessage& message);

private:
    struct Publication {
        QString name;
        uint16_t port = 0;
        QList<QByteArray> txt;
    };
    struct Lookup {
        uint64_t token = 0;
        QString path; // the resolver object, once the daemon has made it
    };

    QDBusMessage avahiCall(const QString& path, const char* interface, const char* method,
                           const QList<QVariant>& arguments = {}) const;
    // Sends the call; onReply gets the reply (or the error) unless the daemon went in between.
    void callAsync(const QDBusMessage& call, std::function<void(const QDBusMessage&)> onReply);
    void fireAndForget(const QDBusMessage& call) const;
    // Creates a browser or resolver object without missing its first signals: the object is
    // prepared, then started; a daemon older than that creates and starts it in one call.
    void createLookup(const char* prepareMethod, const char* newMethod, const char* interface,
                      const QList<QVariant>& arguments, std::function<void(const QString&)> made);

    void setPresent(bool present);
    void startBrowser();
    void ensureGroup();
    void sendPublication();
    void renameAfterCollision();
    void freeResolver(const SightingKey& key);
    void freeLookupsPushedOut();

    QDBusConnection bus_;
    uint64_t ownRunId_;
    QDBusServiceWatcher* watcher_ = nullptr;
    bool known_ = false;
    bool available_ = false;
    uint64_t daemonRound_ = 0; // counts the daemon's comings and goings
    QString browserPath_;
    QString groupPath_;
    bool groupRequested_ = false;
    std::optional<Publication> wanted_;
    QString publishedName_;
    uint64_t publishRound_ = 0;
    int renames_ = 0;
    uint64_t nextToken_ = 0;
    std::map<SightingKey, Lookup> lookups_;
    FoundCopies found_;
};
