#pragma once
// The "Encryption" choice of the Options page: whether this copy speaks encrypted sessions with
// other copies of the program. It is kept in a small file of its own, "Encryption.ini", beside the
// settings file, so the 22 lines of "Vorlax.ini" stay exactly as peers' copies and older runs
// expect them. The file holds one line, the choice as the Options page names it ("Off", "When
// available" or "Required"), ended by CR LF.

#include <QString>
#include <QStringList>

inline constexpr char kEncryptionFileName[] = "Encryption.ini";

enum class EncryptionChoice {
    Off,           // always the plain protocol
    WhenAvailable, // encrypted with copies that offer it, plain with the others
    Required,      // encrypted or nothing: a plain peer is refused
};
inline constexpr EncryptionChoice kDefaultEncryptionChoice = EncryptionChoice::WhenAvailable;

// The choices in the order the Options page lists them, and the text of each.
QStringList encryptionChoiceTexts();
QString encryptionChoiceText(EncryptionChoice choice);

// The choice the file holds. A missing, unreadable, empty or unknown file gives the default: the
// choice is a preference, never a reason to stop the program.
EncryptionChoice loadEncryptionChoice(const QString& path);

// Replaces the file with the choice (written beside it and renamed into place). Throws
// ProgramError when it cannot be written.
void saveEncryptionChoice(const QString& path, EncryptionChoice choice);
