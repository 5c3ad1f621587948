#pragma once
// How the desktop knows the program: its windows carry the program's icon, drawn from the same
// picture that is installed as the desktop icon, and belong to the installed desktop entry.

// Call once the application object exists.
void applyDesktopIdentity();
