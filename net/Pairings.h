#pragma once
// The verified peers: every copy whose key this user confirmed by comparing the short code, with
// the nickname it had and the address-book entry it was last reached at. A verified peer is
// whoever holds its key, at whatever address; the address and the nickname only help to find the
// entry and to tell the user who it is.
//
// The store is the file "Pairings.ini" beside "Connect.ini", private to this user (0600) and
// rewritten whole (beside it, then renamed into place). One peer per line, ended by CR LF:
//   <key: 64 hex digits> TAB <address> TAB <nickname>
// A line that does not read so is skipped; at most kMaxPairings lines are kept, the newest.

#include "net/Discovery.h"

#include <QByteArray>
#include <QString>

#include <vector>

inline constexpr char kPairingsFileName[] = "Pairings.ini";
inline constexpr int kKeyFingerprintBytes = 32; // SHA-256 of the public key
inline constexpr int kMaxPairings = 256;
inline constexpr int kMaxPairingNameChars = 100;    // nickname kept, cut beyond
inline constexpr int kMaxPairingAddressChars = 255; // one DNS name

struct Pairing {
    QByteArray key; // kKeyFingerprintBytes
    QString address;
    QString nickname;
    bool operator==(const Pairing&) const = default;
};

class Pairings {
public:
    // The pairings in the file; none when it does not exist. Throws ProgramError when the file
    // exists but cannot be opened.
    static Pairings load(const QString& path);
    // Replaces the file with the pairings. Throws ProgramError when it cannot be written; the old
    // file then stays as it was.
    void save(const QString& path) const;

    // Remembers a peer's key with its nickname and address (control characters neutralised, both
    // cut to their bounds). A key already known takes the new nickname and address and becomes the
    // newest; when the store is full the oldest gives way. False, changing nothing, for a key that
    // is not kKeyFingerprintBytes long.
    bool remember(const Pairing& pairing);
    // The peer holding this key; nullptr when none.
    const Pairing* byKey(const QByteArray& key) const;
    // The peer whose key starts with these kAnnouncedKeyHintBytes bytes; nullptr when none or when
    // the hint has another length.
    const Pairing* byKeyHint(const QByteArray& hint) const;
    // The newest peer at this address-book entry, ignoring letter case.
    const Pairing* byAddress(const QString& address) const;
    // The newest peer with this nickname, ignoring letter case.
    const Pairing* byNickname(const QString& nickname) const;
    // Forgets every peer at this address-book entry (ignoring letter case); how many were.
    int forgetAddress(const QString& address);

    // Oldest first.
    const std::vector<Pairing>& entries() const { return entries_; }

private:
    std::vector<Pairing> entries_;
};

// What "On this network" tells of a copy found with this name and key hint (empty: no hint):
// "verified" when the hint is a verified peer's key (with the kept nickname when the copy now
// announces another), "not the verified <nickname>" when the copy takes a verified peer's nickname
// (alone or renamed "<nickname> #2" on the network) without that peer's key, and nothing otherwise.
struct PairingMark {
    enum class Kind { None, Verified, Impostor } kind = Kind::None;
    QString text;
};
PairingMark pairingMark(const Pairings& pairings, const QString& name, const QByteArray& keyHint);
