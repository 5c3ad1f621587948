#pragma once
// How well each of the four channels to the peer is protected, and the one state the window shows
// for all of them: the weakest. A single plain or failing channel is what an eavesdropper or an
// impostor would use, so the lock never shows more than the worst channel gives.

#include "net/Discovery.h"

#include <QString>

#include <array>

// Weakest first: the order is the comparison.
enum class Protection {
    Warning,   // something is wrong: another key, a failed handshake, plain from a verified peer
    Plain,     // not encrypted
    Encrypted, // encrypted, the peer's key not verified
    Verified,  // encrypted with the key of a verified peer
};

struct ChannelSecurity {
    Protection level = Protection::Plain;
    QString peerName; // the verified peer's nickname (Verified)
    QString reason;   // what is wrong, in a few words (Warning)
    bool operator==(const ChannelSecurity&) const = default;
};

using ChannelSecurities = std::array<ChannelSecurity, kChannelCount>;

// The weakest of the channels; of equally weak ones, the first in channel order.
ChannelSecurity weakestChannel(const ChannelSecurities& channels);

// What the lock says of a state: "Not encrypted", "Encrypted, not verified", "Encrypted and
// verified: <name>" or "Security warning: <reason>". Name and reason are shown neutralised and
// cut to maxChars each (when given).
QString protectionText(const ChannelSecurity& security, qsizetype maxChars = -1);
