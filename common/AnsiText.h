#pragma once
// Text on the wire and in the program's files. Everything windows-1252 can carry is written as
// windows-1252 bytes (the "§" of the trade messages is 0xA7), so a Western Windows peer reads the
// same bytes; a text holding a character windows-1252 lacks is written as UTF-8 instead of losing
// it. Reading takes bytes as UTF-8 only when they are valid UTF-8 and hold a character
// windows-1252 cannot carry (the only text sent as UTF-8); everything else is windows-1252.

#include <QByteArray>
#include <QString>

namespace ansi {

QByteArray encode(const QString& text);
QString decode(const QByteArray& bytes);

} // namespace ansi
