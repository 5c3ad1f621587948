#include "common/AnsiText.h"
#include "common/DisplayText.h"

#include <gtest/gtest.h>

namespace {

QByteArray bytesOf(std::initializer_list<unsigned char> values) {
    QByteArray out;
    for (unsigned char v : values)
        out.append(static_cast<char>(v));
    return out;
}

} // namespace

TEST(AnsiText, EncodesWindows1252Bytes) {
    EXPECT_EQ(ansi::encode(QStringLiteral("abc")), QByteArray("abc"));
    EXPECT_EQ(ansi::encode(QStringLiteral("€")), bytesOf({0x80}));
    EXPECT_EQ(ansi::encode(QStringLiteral("§")), bytesOf({0xA7}));
    EXPECT_EQ(ansi::encode(QStringLiteral("Grüße ÿ")),
              bytesOf({'G', 'r', 0xFC, 0xDF, 'e', ' ', 0xFF}));
    EXPECT_EQ(ansi::encode(QStringLiteral("„“…Ÿ")), bytesOf({0x84, 0x93, 0x85, 0x9F}));
    // The undefined bytes of the code page stand for the C1 control of the same value.
    EXPECT_EQ(ansi::encode(QString(QChar(0x81))), bytesOf({0x81}));

    QByteArray marker = bytesOf({0xA7, 0xA7, 0xA7});
    marker += "-SendFileList-";
    marker += bytesOf({0xA7, 0xA7, 0xA7});
    EXPECT_EQ(ansi::encode(QStringLiteral("§§§-SendFileList-§§§")), marker);
    EXPECT_EQ(ansi::decode(marker), QStringLiteral("§§§-SendFileList-§§§"));
    EXPECT_TRUE(ansi::encode(QString()).isEmpty());
}

TEST(AnsiText, FallsBackToUtf8ForTheWholeText) {
    const QString cyrillic = QStringLiteral("Привет €.txt");
    const QByteArray bytes = ansi::encode(cyrillic);
    EXPECT_EQ(bytes, cyrillic.toUtf8()); // "€" too is UTF-8 then, not 0x80
    EXPECT_EQ(ansi::decode(bytes), cyrillic);

    const QString emoji = QStringLiteral("a\U0001F600b");
    EXPECT_EQ(ansi::encode(emoji), emoji.toUtf8());
    EXPECT_EQ(ansi::decode(ansi::encode(emoji)), emoji);
    // C1 controls other than the five undefined bytes have no byte of their own.
    EXPECT_EQ(ansi::encode(QString(QChar(0x80))), QString(QChar(0x80)).toUtf8());
}

TEST(AnsiText, DecodesEveryByteAndRoundTrips) {
    QByteArray all;
    for (int b = 1; b < 256; ++b)
        all.append(static_cast<char>(b));
    const QString text = ansi::decode(all);
    ASSERT_EQ(text.size(), 255);
    EXPECT_EQ(text[0x80 - 1], QChar(0x20AC));
    EXPECT_EQ(text[0xA7 - 1], QChar(0xA7));
    for (int b : {0x81, 0x8D, 0x8F, 0x90, 0x9D})
        EXPECT_EQ(text[b - 1], QChar(b)) << b;
    EXPECT_EQ(ansi::encode(text), all);

    for (int b = 0x80; b < 256; ++b) {
        const QByteArray one = bytesOf({static_cast<unsigned char>(b)});
        EXPECT_EQ(ansi::encode(ansi::decode(one)), one) << b;
    }
}

TEST(AnsiText, ReadsUtf8OnlyWhenWindows1252CannotCarryTheText) {
    EXPECT_EQ(ansi::decode(QByteArray("plain")), QStringLiteral("plain"));
    // Valid UTF-8 whose characters windows-1252 has is read as windows-1252: a sender would have
    // used windows-1252 for them.
    EXPECT_EQ(ansi::decode(bytesOf({0xC3, 0xA9})), QStringLiteral("Ã©"));
    EXPECT_EQ(ansi::decode(QStringLiteral("Grüße").toUtf8()), QStringLiteral("GrÃ¼ÃŸe"));
    // One character beyond windows-1252 makes the whole text UTF-8.
    EXPECT_EQ(ansi::decode(QStringLiteral("Grüße Ω").toUtf8()), QStringLiteral("Grüße Ω"));
    EXPECT_EQ(ansi::decode(bytesOf({0xC2, 0x80})), QString(QChar(0x80)));
    // A lone 0xC3 and a truncated sequence are windows-1252.
    EXPECT_EQ(ansi::decode(bytesOf({'a', 0xC3})), QStringLiteral("aÃ"));
    EXPECT_EQ(ansi::decode(bytesOf({0xE2, 0x82})), QStringLiteral("â‚"));
    // Overlong "/", an encoded surrogate and a code point beyond U+10FFFF are not UTF-8.
    EXPECT_EQ(ansi::decode(bytesOf({0xC0, 0xAF})), QStringLiteral("À¯"));
    const QChar surrogateAsAnsi[] = {QChar(0xED), QChar(0xA0), QChar(0x20AC)};
    EXPECT_EQ(ansi::decode(bytesOf({0xED, 0xA0, 0x80})), QString(surrogateAsAnsi, 3));
    EXPECT_EQ(ansi::decode(bytesOf({0xF4, 0x90, 0x80, 0x80})).size(), 4);
    // A byte order mark is kept as a character.
    EXPECT_EQ(ansi::decode(bytesOf({0xEF, 0xBB, 0xBF, 'x'})), QStringLiteral("\uFEFFx"));
    // Zero bytes pass through.
    EXPECT_EQ(ansi::decode(QByteArray("a\0b", 3)), QString::fromUtf16(u"a\0b", 3));
}

TEST(DisplayText, ReceivedTextNeverStartsALineOrTurnsTheTextAround) {
    EXPECT_EQ(shownText(QStringLiteral("a\r\nb\nc\td\x1b[2J")), QStringLiteral("a  b c d [2J"));
    EXPECT_EQ(shownText(QString(QChar(0x85)) + QChar(0x2028)), QStringLiteral("  "));
    const QString overridden =
        QStringLiteral("evil") + QChar(0x202E) + QStringLiteral("txt.exe") + QChar(0x2066);
    EXPECT_EQ(shownText(overridden), QStringLiteral("evil\uFFFDtxt.exe\uFFFD"));
    EXPECT_EQ(shownText(QStringLiteral("Grüße €")), QStringLiteral("Grüße €"));

    EXPECT_EQ(shownText(QStringLiteral("abcdef"), 4), QStringLiteral("abc…"));
    EXPECT_EQ(shownText(QStringLiteral("abcd"), 4), QStringLiteral("abcd"));
    // A cut never leaves half of a character made of two UTF-16 units.
    const QString emoji = QStringLiteral("ab\U0001F600cd");
    EXPECT_EQ(shownText(emoji, 4), QStringLiteral("ab…"));
}
