#pragma once
// The "Encryption" choice of the Options page: whether this copy speaks encrypted sessions with
// other copies of the program. It is kept in a small file of its own, "Encryption.ini", beside the
// settings file, so the 22 lines of "Vorlax.ini" stay exactly as peers' copies and older runs
// expect them. Its first line is the choice as the Options page names it ("Off", "When available"
// or "Required"); each further line is an address-book entry the user marked for encrypted
// sessions. Lines end by CR LF.

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

// The entries marked for encrypted sessions (at most kMaxEncryptionMarks).
QStringList loadEncryptionMarks(const QString& path);
inline constexpr int kMaxEncryptionMarks = 256;

// Replaces the file with the choice and the marks (written beside it and renamed into place).
// Throws ProgramError when it cannot be written.
void saveEncryptionChoice(const QString& path, EncryptionChoice choice,
                          const QStringList& marks = {});
