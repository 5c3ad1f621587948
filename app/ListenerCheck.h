#pragma once
// "Vorlax --check-online": checks a copy where it is installed, without a window on screen. It
// starts the main window offscreen with this user's settings (the defaults on a first start), goes
// online, prints where the text files are kept and which listeners listen on which port, and
// ends, taking the copy offline and writing the settings as a normal close does. The exit code is
// 0 when all four listeners listen and no error box would have shown, 1 otherwise.

inline constexpr char kCheckOnlineOption[] = "--check-online";

int runOnlineCheck(int argc, char** argv);
