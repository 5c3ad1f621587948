#include "common/DisplayText.h"

namespace {
const QChar kEllipsis(0x2026);
const QChar kReplacement(0xFFFD);

bool isControl(char16_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

// LRE, RLE, PDF, LRO, RLO and LRI, RLI, FSI, PDI: they reorder the text after them.
bool isDirectionControl(char16_t c) {
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}
} // namespace

QString shownText(const QString& received, qsizetype maxChars) {
    QString shown = received;
    if (maxChars >= 1 && shown.size() > maxChars) {
        qsizetype cut = maxChars - 1;
        // Never split a surrogate pair.
        if (cut > 0 && shown.at(cut - 1).isHighSurrogate())
            --cut;
        shown.truncate(cut);
        shown.append(kEllipsis);
    }
    for (QChar& c : shown) {
        if (isControl(c.unicode()))
            c = QLatin1Char(' ');
        else if (isDirectionControl(c.unicode()))
            c = kReplacement;
    }
    return shown;
}
