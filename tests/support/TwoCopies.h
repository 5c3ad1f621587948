#pragma once
// Test fixtures for whole copies of the program in one process: each copy has its own program
// folder (with a settings file naming free high ports on 127.0.0.1) and collects the boxes it would
// show.

#include "app/MainForm.h"
#include "support/Wait.h"

#include <QPushButton>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

struct PortSet {
    QString chat, trade, plot, download;
};
// Two sets of four ports that were free on 127.0.0.1 a moment ago.
std::pair<PortSet, PortSet> freePortSets();

struct Copy {
    QTemporaryDir folder;
    QStringList errors;    // texts of the standard error box
    QStringList messages;  // texts of plain message boxes
    QStringList questions; // texts of Yes/No boxes, each answered with answerYes
    bool answerYes = true;
    // Last, so it is destroyed first: closing may still show a box, whose text goes to the lists
    // above, and write settings into the folder.
    std::unique_ptr<TForm1> form;
    QString tradeFolder() const { return folder.path() + "/trade/"; }
    QString saveFolder() const { return folder.path() + "/save/"; }
};

// A copy listening on `local` and sending to `remote`, nickname `nick`.
std::unique_ptr<Copy> makeCopy(const PortSet& local, const PortSet& remote, const QString& nick);
// Starts a TForm1 in an existing folder (whatever settings file it holds) with collecting dialogs.
void startForm(Copy& copy);

// Real clicks on the connection bar, waiting until the attempt they start has finished.
void clickAndSettle(TForm1& form, QWidget* button);
void goOnline(TForm1& form);
void connectTo(TForm1& form, const QString& address);

// The chat log's lines, as the user reads them, and whether it holds this whole line.
QStringList logLines(const TForm1& form);
bool logHas(const TForm1& form, const QString& line);
bool logHas(const Copy& copy, const QString& line);

// Two copies pointed at each other, both online and connected (icons green).
struct CopyPair {
    std::unique_ptr<Copy> a, b;
};
CopyPair connectedPair();
