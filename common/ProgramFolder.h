#pragma once
// Where this copy keeps its text files "Vorlax.ini" and "Connect.ini".

#include <QString>

// The folder for the text files, with a trailing "/". A copy whose executable's folder this user
// may write (a copy unpacked or built somewhere of the user's own) keeps them beside itself; an
// installed copy, whose folder belongs to the system, keeps them in the user's configuration
// folder, $XDG_CONFIG_HOME/Vorlax/ (~/.config/Vorlax/ by default), which is created when missing.
// Decided once at start: the answer does not change while the program runs.
QString programFolder();
