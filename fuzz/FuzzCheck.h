#pragma once
// Checks shared by the fuzz targets: a failed invariant aborts with the condition and its place, so
// libFuzzer records the input as a finding; and the one known way text may change on its way
// through the program's byte form.

#include "common/AnsiText.h"

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace fuzz {

// The input as bytes (copied: Qt may keep a view of raw data alive longer than libFuzzer's buffer).
inline QByteArray bytesOf(const uint8_t* data, size_t size) {
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
}

// Bytes that the program itself would write for some text as UTF-8: some high byte, well-formed
// UTF-8 (Qt's own decoder reads them and writes them back unchanged), and a text the program
// writes as exactly these bytes, i.e. one windows-1252 cannot carry. Only such bytes read as UTF-8.
inline bool writtenAsUtf8(const QByteArray& bytes) {
    bool high = false;
    for (const char c : bytes)
        high = high || static_cast<uint8_t>(c) >= 0x80;
    const QString text = QString::fromUtf8(bytes);
    return high && text.toUtf8() == bytes && ansi::encode(text) == bytes;
}

// Text written in the program's byte form reads back as itself, except when its windows-1252 bytes
// happen to be such UTF-8: then it reads back as that UTF-8 (the reader cannot tell).
inline bool readsBackAs(const QString& written, const QString& read) {
    if (read == written)
        return true;
    const QByteArray bytes = ansi::encode(written);
    return writtenAsUtf8(bytes) && read == QString::fromUtf8(bytes);
}

} // namespace fuzz
