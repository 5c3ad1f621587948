#include "net/Pairings.h"

#include "common/DisplayText.h"
#include "common/LineFile.h"
#include "common/ProgramError.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cctype>

namespace {
constexpr char kFieldSeparator = '\t';
constexpr int kKeyHexDigits = 2 * kKeyFingerprintBytes;
// The longest line a pairing can make, with room for every character written as four bytes.
constexpr qint64 kMaxLineBytes =
    kKeyHexDigits + 2 + 4 * (kMaxPairingAddressChars + kMaxPairingNameChars) + 2;
constexpr qint64 kMaxFileBytes = kMaxPairings * kMaxLineBytes;

bool sameText(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// A key from its 64 hex digits; empty when the text is not that.
QByteArray keyFromHex(const QString& text) {
    if (text.size() != kKeyHexDigits)
        return {};
    for (QChar c : text)
        if (!isxdigit(uchar(c.toLatin1())))
            return {};
    return QByteArray::fromHex(text.toLatin1());
}

Pairing cleaned(const Pairing& pairing) {
    return {pairing.key, shownText(pairing.address, kMaxPairingAddressChars),
            shownText(pairing.nickname, kMaxPairingNameChars)};
}
} // namespace

Pairings Pairings::load(const QString& path) {
    Pairings pairings;
    if (!QFileInfo::exists(path))
        return pairings;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw ProgramError(fileOpenErrorMessage(path, file.errorString()));
    for (const QString& line : splitLines(file.read(kMaxFileBytes))) {
        const QStringList fields = line.split(QLatin1Char(kFieldSeparator));
        if (line.size() > kMaxLineBytes || fields.size() != 3)
            continue;
        const QByteArray key = keyFromHex(fields[0]);
        if (!key.isEmpty())
            pairings.remember({key, fields[1], fields[2]});
    }
    return pairings;
}

void Pairings::save(const QString& path) const {
    QStringList lines;
    for (const Pairing& p : entries_)
        lines << QString::fromLatin1(p.key.toHex()) + kFieldSeparator + p.address +
                     kFieldSeparator + p.nickname;
    writeLineFile(path, lines);
}

bool Pairings::remember(const Pairing& pairing) {
    if (pairing.key.size() != kKeyFingerprintBytes)
        return false;
    std::erase_if(entries_, [&pairing](const Pairing& p) { return p.key == pairing.key; });
    if (entries_.size() >= size_t(kMaxPairings))
        entries_.erase(entries_.begin());
    entries_.push_back(cleaned(pairing));
    return true;
}

const Pairing* Pairings::byKey(const QByteArray& key) const {
    const auto it = std::find_if(entries_.begin(), entries_.end(),
                                 [&key](const Pairing& p) { return p.key == key; });
    return it == entries_.end() ? nullptr : &*it;
}

const Pairing* Pairings::byKeyHint(const QByteArray& hint) const {
    if (hint.size() != kAnnouncedKeyHintBytes)
        return nullptr;
    const auto it = std::find_if(entries_.begin(), entries_.end(),
                                 [&hint](const Pairing& p) { return p.key.startsWith(hint); });
    return it == entries_.end() ? nullptr : &*it;
}

const Pairing* Pairings::byAddress(const QString& address) const {
    const auto it = std::find_if(entries_.rbegin(), entries_.rend(), [&address](const Pairing& p) {
        return sameText(p.address, address);
    });
    return it == entries_.rend() ? nullptr : &*it;
}

const Pairing* Pairings::byNickname(const QString& nickname) const {
    const auto it = std::find_if(entries_.rbegin(), entries_.rend(), [&nickname](const Pairing& p) {
        return sameText(p.nickname, nickname);
    });
    return it == entries_.rend() ? nullptr : &*it;
}

int Pairings::forgetAddress(const QString& address) {
    return int(std::erase_if(
        entries_, [&address](const Pairing& p) { return sameText(p.address, address); }));
}

PairingMark pairingMark(const Pairings& pairings, const QString& name, const QByteArray& keyHint) {
    // A name taken on the network already is announced with " #2" (" #3"...) appended: a copy
    // posing as a verified peer that is online too shows up so.
    static const QRegularExpression kRenamed(QStringLiteral(" #[0-9]+$"));
    const QString nickname = QString(name).remove(kRenamed);
    if (const Pairing* verified = pairings.byKeyHint(keyHint))
        return {PairingMark::Kind::Verified,
                sameText(verified->nickname, nickname)
                    ? QStringLiteral("verified")
                    : QStringLiteral("verified as %1").arg(verified->nickname)};
    if (const Pairing* named = pairings.byNickname(nickname))
        return {PairingMark::Kind::Impostor,
                QStringLiteral("not the verified %1").arg(named->nickname)};
    return {};
}
