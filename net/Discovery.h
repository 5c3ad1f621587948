#pragma once
// Finding other copies on the network: what a copy announces, how an announcement is read, how two
// port plans are compared, which of two copies adapts its ports, and the bounded list of copies
// found. No sockets and no bus here; net/AvahiClient.* carries announcements to and from the
// network.
//
// An announcement is a DNS-SD service of type "_vorlax._tcp" whose instance name is the nickname
// and whose port is the chat listener's. Its TXT record holds strings "key=value", in this order:
//   v=1                    the format version
//   id=<16 hex digits>     a random number drawn once per run, so a copy never lists itself
//   lchat= ldown= ltrade= lplot=   the four ports this copy listens on ("Local:", "Server:")
//   rchat= rdown= rtrade= rplot=   the four ports it sends to ("Remote:", "Server:")
// and then, only from a copy that has a key and does not have encryption turned off:
//   tls=1                  it takes encrypted sessions on the same ports
//   fp=<16 hex digits>     the first 8 bytes of its key's fingerprint, a hint of who it is
// Ports are decimal, 0 to 65535. A reader takes the first of repeated keys, skips keys it does not
// know and ignores the whole announcement when a known key is malformed or one is missing. The
// last two are only offers: a malformed one is ignored alone, and the rest is read as before.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <tuple>
#include <vector>

inline constexpr char kDiscoveryServiceType[] = "_vorlax._tcp";
inline constexpr int kAnnouncementVersion = 1;
inline constexpr int kMaxPendingSightings = 64; // sightings not resolved yet
inline constexpr int kMaxFoundCopies = 64;      // resolved sightings kept, of all addresses
inline constexpr int kMaxCopiesPerAddress = 8;  // resolved sightings kept of one address
inline constexpr int kMaxHostNameBytes = 255;   // one DNS name
inline constexpr int kFirstUnprivilegedPort = 1024;
inline constexpr int kMaxServiceNameBytes = 63; // one DNS label
inline constexpr int kMaxTxtStrings = 32;       // strings of one TXT record read
inline constexpr int kMaxTxtStringBytes = 255;  // the most one TXT string can hold

// The channels in the order of the Options page's rows.
enum class Channel { Chat, Download, Trade, Plot };
inline constexpr int kChannelCount = 4;

// Where a copy listens and where it sends, per channel.
struct PortPlan {
    std::array<uint16_t, kChannelCount> listen{};
    std::array<uint16_t, kChannelCount> send{};
    bool operator==(const PortPlan&) const = default;
};

inline constexpr int kAnnouncedKeyHintBytes = 8;

struct Announcement {
    uint64_t runId = 0;
    PortPlan plan;
    bool encrypted = false; // tls=1: takes encrypted sessions
    QByteArray keyHint{};   // fp: kAnnouncedKeyHintBytes of its key, or empty
    bool operator==(const Announcement&) const = default;
};

QList<QByteArray> encodeTxt(const Announcement& announcement);
std::optional<Announcement> parseTxt(const QList<QByteArray>& strings);

// A random run id, never 0.
uint64_t newRunId();

// The plan that meets `theirs`: it listens where they send and sends where they listen.
PortPlan mirroredPlan(const PortPlan& theirs);

// Where two plans do not meet, in plain words, one line per way and channel that fails; empty when
// every channel reaches both ways. "you" is this copy, "it" the other.
QStringList planProblems(const PortPlan& mine, const PortPlan& theirs);

// The plan of a copy whose Options page was never changed.
PortPlan defaultPortPlan();
// Whether "Match ports" may set this plan: every port is 1024 or above, or the value its field has
// in the default plan or after "Switch Ports" (the only low ports the program is meant to use).
bool planIsSafeToSet(const PortPlan& plan);

// Where one copy is reached: its IPv4 address (host byte order) and the port of its chat listener.
struct CopyPlace {
    uint32_t address = 0;
    uint16_t chatPort = 0;
};
// Of two copies whose plans do not meet, the one at the larger address changes its ports; two
// copies on one computer go by their chat ports. Once connected, each side knows both places from
// its own connection (where its connection comes from and where it goes to), so both come to the
// same answer, and neither can choose it by what it announces.
bool thisCopyAdapts(const CopyPlace& mine, const CopyPlace& theirs);

// The nickname as this copy announces it: at most one DNS label of UTF-8, never empty.
QString announcedName(const QString& nickname);
// A received service name, cut to one DNS label and with its control characters neutralised.
QString shownServiceName(const QString& received);
// A received host name, cut to one DNS name and with its control characters neutralised.
QString shownHostName(const QString& received);

// One sighting of an announcement: Avahi reports a service once per interface and protocol.
struct SightingKey {
    int interfaceIndex = 0;
    int protocol = 0;
    QString name;
    bool operator<(const SightingKey& other) const {
        return std::tie(interfaceIndex, protocol, name) <
               std::tie(other.interfaceIndex, other.protocol, other.name);
    }
};

struct FoundCopy {
    QString name;         // as shown: cut and neutralised
    QString host;         // the computer's name as Avahi gives it, cut and neutralised
    uint32_t address = 0; // IPv4, host byte order
    Announcement announcement;
    bool sharesName = false; // another copy listed has the same name (set by FoundCopies::copies)
    bool operator==(const FoundCopy&) const = default;
};

// The copies found, bounded. A sighting waits for its resolution among at most
// kMaxPendingSightings, the oldest giving way; once resolved, at most kMaxCopiesPerAddress are
// kept per address and kMaxFoundCopies in all, the oldest of the fullest address giving way. So
// sightings from one address, however many, never push out another address's copies.
class FoundCopies {
public:
    // Starts tracking a sighting; false when it is tracked already. May push out another.
    bool track(const SightingKey& key);
    bool tracked(const SightingKey& key) const { return sightings_.count(key) > 0; }
    // Fills in (or updates) what a tracked sighting announces; ignored for an untracked one. May
    // push out another.
    void resolve(const SightingKey& key, const FoundCopy& copy);
    void forget(const SightingKey& key);
    void clear() { sightings_.clear(); }
    // The resolved copies, ordered by name and address. Sightings that agree in everything (one
    // copy seen on several interfaces) are one entry; a run id seen at two addresses is two.
    std::vector<FoundCopy> copies() const;

private:
    struct Sighting {
        uint64_t age = 0; // when it was tracked or last resolved: larger is newer
        std::optional<FoundCopy> copy;
    };
    // Pushes out the oldest sighting among those `among` accepts.
    template <typename Pred> void dropOldest(Pred among);
    std::map<SightingKey, Sighting> sightings_;
    uint64_t clock_ = 0;
};
