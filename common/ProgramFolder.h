#pragma once
// Where this copy keeps its text files "Vorlax.ini" and "Connect.ini".

#include <QString>

// The folder for the text files of a copy whose executable lies in executableFolder, with a
// trailing "/":
// - an installed copy keeps them in the user's configuration folder, $XDG_CONFIG_HOME/Vorlax/
//   (~/.config/Vorlax/ by default). A copy counts as installed when its desktop entry lies where
//   the install rules put it beside the program (<prefix>/share/applications/ for
//   <prefix>/bin/Vorlax), whoever may write the program's folder: a package in /usr and
//   `cmake --install` into ~/.local alike;
// - any other copy (one run from its build folder, or copied into a folder of its own as the demo
//   does) keeps them beside itself, unless this user may not write there: then in the
//   configuration folder too.
// The configuration folder is created when missing and kept private to this user (0700); the text
// files are written readable by this user only (0600).
QString textFilesFolder(const QString& executableFolder);

// textFilesFolder for this program's executable. Decided once at start: the answer does not
// change while the program runs.
QString programFolder();
