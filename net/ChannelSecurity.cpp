#include "net/ChannelSecurity.h"

#include "common/DisplayText.h"

#include <algorithm>

ChannelSecurity weakestChannel(const ChannelSecurities& channels) {
    return *std::min_element(
        channels.begin(), channels.end(),
        [](const ChannelSecurity& a, const ChannelSecurity& b) { return a.level < b.level; });
}

QString protectionText(const ChannelSecurity& security, qsizetype maxChars) {
    switch (security.level) {
    case Protection::Warning:
        return QStringLiteral("Security warning: ") + shownText(security.reason, maxChars);
    case Protection::Plain:
        return QStringLiteral("Not encrypted");
    case Protection::Encrypted:
        return QStringLiteral("Encrypted, not verified");
    case Protection::Verified:
        return QStringLiteral("Encrypted and verified: ") + shownText(security.peerName, maxChars);
    }
    return {};
}
