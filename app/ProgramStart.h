#pragma once
// Program start: the four windows in their order, the first-run help, then the message loop.

#include "app/MainForm.h"

#include <QString>

#include <memory>

class TForm1;
class TForm2;
class TInfoForm;
class TForm3;

struct ProgramWindows {
    std::unique_ptr<TForm1> Form1;
    std::unique_ptr<TForm2> Form2;
    std::unique_ptr<TInfoForm> InfoForm;
    std::unique_ptr<TForm3> Form3;
    ProgramWindows();
    ~ProgramWindows();
    ProgramWindows(ProgramWindows&&) noexcept;
    ProgramWindows& operator=(ProgramWindows&&) noexcept;
};

// Creates the main window, then the folder chooser, the Info and the Help window, and connects the
// main window's menus and folder buttons to them. On a first run (no "Vorlax.ini" in programFolder)
// the Help window is shown modally before this returns. Dialogs given here replace the real boxes.
ProgramWindows createProgramWindows(const QString& programFolder = {}, FormDialogs dialogs = {});

// The whole program: title, windows, message loop. Returns the exit code.
int runProgram(int argc, char** argv);
