#pragma once
// The program's small text files: one value per line, every line (the last included) ended by
// CR LF, text in the program's byte form (ansi::encode / ansi::decode).

#include <QByteArray>
#include <QString>
#include <QStringList>

// Splits file bytes into lines. A line ends at CR LF, at a lone CR or at a lone LF; a zero byte
// ends the text; a final line break gives no empty last line, while empty lines before it are kept.
QStringList splitLines(const QByteArray& bytes);

// Reads a whole file and splits it into lines. Throws ProgramError when the file cannot be opened.
QStringList readLineFile(const QString& path);

// Replaces the file with the lines, each followed by CR LF. The new contents are written beside the
// file and renamed into place, so a failure leaves the old file as it was. Throws ProgramError when
// the file cannot be written.
void writeLineFile(const QString& path, const QStringList& lines);
