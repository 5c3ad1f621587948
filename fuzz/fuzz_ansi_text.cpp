// Text decoding of peer and file bytes: any bytes decode; only UTF-8 the program would write itself
// reads as UTF-8, all other bytes come back unchanged through encode; any text encodes and reads
// back (but for the one known ambiguity).
#include "fuzz/FuzzCheck.h"

#include "common/AnsiText.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes = fuzz::bytesOf(data, size);

    // Bytes -> text -> bytes.
    const QString text = ansi::decode(bytes);
    FUZZ_CHECK(text.size() <= bytes.size());
    const QByteArray again = ansi::encode(text);
    if (fuzz::writtenAsUtf8(bytes))
        FUZZ_CHECK(text == QString::fromUtf8(bytes));
    else
        FUZZ_CHECK(again == bytes && text.size() == bytes.size());

    // Text -> bytes -> text, with the input taken as UTF-16 code units. Unpaired surrogates have no
    // UTF-8 form, so only well-formed text is held to the round trip.
    const QString units(reinterpret_cast<const QChar*>(data), static_cast<qsizetype>(size / 2));
    const QByteArray encoded = ansi::encode(units);
    if (QString::fromUtf8(units.toUtf8()) == units)
        FUZZ_CHECK(fuzz::readsBackAs(units, ansi::decode(encoded)));
    return 0;
}
