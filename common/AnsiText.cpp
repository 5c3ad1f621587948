// windows-1252 <-> Unicode, with UTF-8 as the fallback for text windows-1252 cannot carry.
//
// Bytes 0x00-0x7F and 0xA0-0xFF are the code points of the same value; 0x80-0x9F hold the
// typographic extras below. The five bytes windows-1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90,
// 0x9D) stand for the C1 control of the same value, so every byte string reads back to itself.
#include "common/AnsiText.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

namespace {

constexpr uint8_t kAsciiEnd = 0x80;     // first byte outside 7-bit ASCII
constexpr uint8_t kExtrasFirst = 0x80;  // first byte of the windows-1252 extras block
constexpr char16_t kLatin1First = 0xA0; // from here to 0xFF byte value == code point
constexpr char16_t kLatin1Last = 0xFF;

// Code points of the bytes 0x80..0x9F.
constexpr std::array<char16_t, 32> kExtras = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F, // 0x88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, // 0x98
};

// The windows-1252 byte of a code unit, or nothing when the code page lacks it.
std::optional<char> toAnsiByte(char16_t unit) {
    if (unit < kAsciiEnd || (unit >= kLatin1First && unit <= kLatin1Last))
        return static_cast<char>(unit);
    for (size_t i = 0; i < kExtras.size(); ++i) {
        if (kExtras[i] == unit)
            return static_cast<char>(kExtrasFirst + i);
    }
    return std::nullopt;
}

bool fitsWindows1252(const QString& text) {
    return std::all_of(text.begin(), text.end(),
                       [](QChar c) { return toAnsiByte(c.unicode()).has_value(); });
}

// Number of continuation bytes a UTF-8 lead byte announces, with the smallest code point such a
// sequence may carry (anything below is an overlong form). Nothing for an invalid lead byte.
struct Utf8Lead {
    int continuations;
    char32_t minimum;
    char32_t bits;
};

std::optional<Utf8Lead> utf8Lead(uint8_t b) {
    if (b >= 0xC2 && b <= 0xDF)
        return Utf8Lead{1, 0x80, char32_t(b & 0x1F)};
    if (b >= 0xE0 && b <= 0xEF)
        return Utf8Lead{2, 0x800, char32_t(b & 0x0F)};
    if (b >= 0xF0 && b <= 0xF4)
        return Utf8Lead{3, 0x10000, char32_t(b & 0x07)};
    return std::nullopt;
}

constexpr char32_t kMaxCodePoint = 0x10FFFF;
constexpr char32_t kSurrogateFirst = 0xD800;
constexpr char32_t kSurrogateLast = 0xDFFF;

// Strict UTF-8 decoding: no overlong forms, no surrogates, nothing above U+10FFFF, no truncated
// sequence. Nothing when the bytes are not UTF-8. A leading byte order mark is kept as U+FEFF.
std::optional<QString> decodeStrictUtf8(const QByteArray& bytes) {
    QString out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.constData());
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n;) {
        const uint8_t b = p[i++];
        if (b < kAsciiEnd) {
            out.append(QChar(b));
            continue;
        }
        const auto lead = utf8Lead(b);
        if (!lead || n - i < lead->continuations)
            return std::nullopt;
        char32_t cp = lead->bits;
        for (int k = 0; k < lead->continuations; ++k, ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return std::nullopt;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        if (cp < lead->minimum || cp > kMaxCodePoint ||
            (cp >= kSurrogateFirst && cp <= kSurrogateLast))
            return std::nullopt;
        if (QChar::requiresSurrogates(cp)) {
            out.append(QChar(QChar::highSurrogate(cp)));
            out.append(QChar(QChar::lowSurrogate(cp)));
        } else {
            out.append(QChar(char16_t(cp)));
        }
    }
    return out;
}

} // namespace

namespace ansi {

QByteArray encode(const QString& text) {
    QByteArray out(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const auto byte = toAnsiByte(text[i].unicode());
        if (!byte)
            return text.toUtf8();
        out[i] = *byte;
    }
    return out;
}

QString decode(const QByteArray& bytes) {
    const bool hasHighByte = std::any_of(
        bytes.begin(), bytes.end(), [](char c) { return static_cast<uint8_t>(c) >= kAsciiEnd; });
    // This program's sender uses UTF-8 only for text windows-1252 cannot carry, so only such text
    // is read as UTF-8: "Ã©" sent as windows-1252 is valid UTF-8 too, yet it means "Ã©".
    if (hasHighByte) {
        if (auto utf8 = decodeStrictUtf8(bytes); utf8 && !fitsWindows1252(*utf8))
            return *utf8;
    }
    QString out(bytes.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<uint8_t>(bytes[i]);
        const bool extra = b >= kExtrasFirst && b < kLatin1First;
        out[i] = QChar(extra ? kExtras[b - kExtrasFirst] : char16_t(b));
    }
    return out;
}

} // namespace ansi
