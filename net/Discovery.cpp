#include "net/Discovery.h"

#include "common/DisplayText.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cctype>

namespace {
const QByteArray kVersionKey = "v";
const QByteArray kIdKey = "id";
const QByteArray kTlsKey = "tls";
const QByteArray kKeyHintKey = "fp";
const QByteArray kTlsOffered = "1";
constexpr int kRunIdHexDigits = 16;
constexpr int kHexBase = 16;
const QString kDefaultAnnouncedName = QStringLiteral("Vorlax-User");

// The keys of the eight ports, listen ports first, each in channel order.
const std::array<QByteArray, kChannelCount> kListenKeys = {"lchat", "ldown", "ltrade", "lplot"};
const std::array<QByteArray, kChannelCount> kSendKeys = {"rchat", "rdown", "rtrade", "rplot"};

// What travels on each channel, as the warnings name it.
const std::array<const char*, kChannelCount> kChannelNouns = {"chat lines", "files",
                                                              "trade messages", "strokes"};

std::optional<uint16_t> parsePort(const QByteArray& text) {
    if (text.isEmpty() || text.size() > 5)
        return std::nullopt;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + uint32_t(c - '0');
    }
    if (value > 0xFFFF)
        return std::nullopt;
    return uint16_t(value);
}

std::optional<uint64_t> parseRunId(const QByteArray& text) {
    if (text.size() != kRunIdHexDigits)
        return std::nullopt;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return std::nullopt;
    bool ok = false;
    const uint64_t id = text.toULongLong(&ok, kHexBase);
    if (!ok || id == 0)
        return std::nullopt;
    return id;
}

// The hint's bytes from exactly 16 hex digits (either case); empty for anything else.
QByteArray parseKeyHint(const QByteArray& text) {
    if (text.size() != 2 * kAnnouncedKeyHintBytes)
        return {};
    for (char c : text)
        if (!isxdigit(uchar(c)))
            return {};
    return QByteArray::fromHex(text);
}

// The UTF-8 of text, cut to at most maxBytes without splitting a character.
QByteArray cutUtf8(const QString& text, int maxBytes) {
    QByteArray bytes = text.toUtf8();
    if (bytes.size() <= maxBytes)
        return bytes;
    qsizetype cut = maxBytes;
    // A continuation byte (10xxxxxx) belongs to the character that started before it.
    while (cut > 0 && (uchar(bytes.at(cut)) & 0xC0) == 0x80)
        --cut;
    bytes.truncate(cut);
    return bytes;
}
} // namespace

QList<QByteArray> encodeTxt(const Announcement& announcement) {
    QList<QByteArray> strings;
    strings << kVersionKey + '=' + QByteArray::number(kAnnouncementVersion);
    strings << kIdKey + '=' +
                   QByteArray::number(qulonglong(announcement.runId), kHexBase)
                       .rightJustified(kRunIdHexDigits, '0');
    for (int c = 0; c < kChannelCount; ++c)
        strings << kListenKeys[c] + '=' + QByteArray::number(announcement.plan.listen[c]);
    for (int c = 0; c < kChannelCount; ++c)
        strings << kSendKeys[c] + '=' + QByteArray::number(announcement.plan.send[c]);
    if (announcement.encrypted)
        strings << kTlsKey + '=' + kTlsOffered;
    if (announcement.keyHint.size() == kAnnouncedKeyHintBytes)
        strings << kKeyHintKey + '=' + announcement.keyHint.toHex();
    return strings;
}

std::optional<Announcement> parseTxt(const QList<QByteArray>& strings) {
    // The first value of each key; a string without "=" is a key without a value.
    std::map<QByteArray, QByteArray> values;
    for (qsizetype i = 0; i < strings.size() && i < kMaxTxtStrings; ++i) {
        const QByteArray& s = strings[i];
        if (s.size() > kMaxTxtStringBytes)
            return std::nullopt;
        const qsizetype eq = s.indexOf('=');
        const QByteArray key = (eq < 0 ? s : s.left(eq)).toLower();
        if (!key.isEmpty())
            values.emplace(key, eq < 0 ? QByteArray() : s.mid(eq + 1));
    }
    auto value = [&values](const QByteArray& key) -> std::optional<QByteArray> {
        const auto it = values.find(key);
        return it == values.end() ? std::nullopt : std::optional(it->second);
    };
    if (value(kVersionKey) != QByteArray::number(kAnnouncementVersion))
        return std::nullopt;
    const std::optional<QByteArray> id = value(kIdKey);
    const std::optional<uint64_t> runId = id ? parseRunId(*id) : std::nullopt;
    if (!runId)
        return std::nullopt;
    Announcement announcement;
    announcement.runId = *runId;
    for (int c = 0; c < kChannelCount; ++c) {
        const std::optional<QByteArray> listen = value(kListenKeys[c]);
        const std::optional<QByteArray> send = value(kSendKeys[c]);
        const std::optional<uint16_t> listenPort = listen ? parsePort(*listen) : std::nullopt;
        const std::optional<uint16_t> sendPort = send ? parsePort(*send) : std::nullopt;
        if (!listenPort || !sendPort)
            return std::nullopt;
        announcement.plan.listen[c] = *listenPort;
        announcement.plan.send[c] = *sendPort;
    }
    announcement.encrypted = value(kTlsKey) == kTlsOffered;
    if (const std::optional<QByteArray> hint = value(kKeyHintKey))
        announcement.keyHint = parseKeyHint(*hint);
    return announcement;
}

uint64_t newRunId() {
    uint64_t id = 0;
    while (id == 0)
        id = QRandomGenerator::system()->generate64();
    return id;
}

PortPlan mirroredPlan(const PortPlan& theirs) {
    return PortPlan{theirs.send, theirs.listen};
}

QStringList planProblems(const PortPlan& mine, const PortPlan& theirs) {
    QStringList problems;
    for (int c = 0; c < kChannelCount; ++c) {
        const QString noun = QLatin1String(kChannelNouns[c]);
        if (mine.send[c] != theirs.listen[c])
            problems << QStringLiteral("%1 from you would not reach it: you send to %2, it "
                                       "listens on %3")
                            .arg(noun)
                            .arg(mine.send[c])
                            .arg(theirs.listen[c]);
        if (theirs.send[c] != mine.listen[c])
            problems << QStringLiteral("%1 from it would not reach you: it sends to %2, you "
                                       "listen on %3")
                            .arg(noun)
                            .arg(theirs.send[c])
                            .arg(mine.listen[c]);
    }
    return problems;
}

PortPlan defaultPortPlan() {
    return {{484, 400, 488, 501}, {484, 500, 488, 501}};
}

bool planIsSafeToSet(const PortPlan& plan) {
    const PortPlan defaults = defaultPortPlan();
    auto safe = [&defaults](uint16_t port, int channel) {
        return port >= kFirstUnprivilegedPort || port == defaults.listen[channel] ||
               port == defaults.send[channel];
    };
    for (int c = 0; c < kChannelCount; ++c)
        if (!safe(plan.listen[c], c) || !safe(plan.send[c], c))
            return false;
    return true;
}

bool thisCopyAdapts(const CopyPlace& mine, const CopyPlace& theirs) {
    return std::tie(mine.address, mine.chatPort) > std::tie(theirs.address, theirs.chatPort);
}

QString announcedName(const QString& nickname) {
    const QByteArray name = cutUtf8(nickname, kMaxServiceNameBytes);
    return name.isEmpty() ? kDefaultAnnouncedName : QString::fromUtf8(name);
}

QString shownServiceName(const QString& received) {
    return shownText(QString::fromUtf8(cutUtf8(received, kMaxServiceNameBytes)));
}

QString shownHostName(const QString& received) {
    return shownText(QString::fromUtf8(cutUtf8(received, kMaxHostNameBytes)));
}

template <typename Pred> void FoundCopies::dropOldest(Pred among) {
    auto oldest = sightings_.end();
    for (auto it = sightings_.begin(); it != sightings_.end(); ++it)
        if (among(it->second) &&
            (oldest == sightings_.end() || it->second.age < oldest->second.age))
            oldest = it;
    if (oldest != sightings_.end())
        sightings_.erase(oldest);
}

bool FoundCopies::track(const SightingKey& key) {
    if (tracked(key))
        return false;
    auto pending = [](const Sighting& s) { return !s.copy; };
    if (std::count_if(sightings_.begin(), sightings_.end(), [&pending](const auto& entry) {
            return pending(entry.second);
        }) >= kMaxPendingSightings)
        dropOldest(pending);
    sightings_.emplace(key, Sighting{++clock_, std::nullopt});
    return true;
}

void FoundCopies::resolve(const SightingKey& key, const FoundCopy& copy) {
    const auto it = sightings_.find(key);
    if (it == sightings_.end())
        return;
    it->second = Sighting{++clock_, copy};
    std::map<uint32_t, int> perAddress;
    int resolved = 0;
    for (const auto& [k, s] : sightings_)
        if (s.copy) {
            ++perAddress[s.copy->address];
            ++resolved;
        }
    uint32_t fullest = copy.address;
    if (perAddress[copy.address] <= kMaxCopiesPerAddress) {
        if (resolved <= kMaxFoundCopies)
            return;
        for (const auto& [address, count] : perAddress)
            if (count > perAddress[fullest])
                fullest = address;
    }
    dropOldest([fullest](const Sighting& s) { return s.copy && s.copy->address == fullest; });
}

void FoundCopies::forget(const SightingKey& key) {
    sightings_.erase(key);
}

std::vector<FoundCopy> FoundCopies::copies() const {
    std::vector<FoundCopy> copies;
    for (const auto& [key, sighting] : sightings_)
        if (sighting.copy &&
            std::find(copies.begin(), copies.end(), *sighting.copy) == copies.end())
            copies.push_back(*sighting.copy);
    std::sort(copies.begin(), copies.end(), [](const FoundCopy& a, const FoundCopy& b) {
        return std::tie(a.name, a.address, a.host) < std::tie(b.name, b.address, b.host);
    });
    for (size_t i = 0; i + 1 < copies.size(); ++i)
        if (copies[i].name == copies[i + 1].name)
            copies[i].sharesName = copies[i + 1].sharesName = true;
    return copies;
}
