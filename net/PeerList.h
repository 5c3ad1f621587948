#pragma once
// The peer address book "Connect.ini": one address per line in the order each was first used,
// every line ended by CR LF. The empty address is a valid entry (an empty line).

#include <QString>
#include <QStringList>

inline constexpr char kPeerListFileName[] = "Connect.ini";

// Whether the list holds the address, ignoring letter case.
bool peerListContains(const QStringList& list, const QString& address);

// The addresses in the file; an empty list when the file does not exist. Throws ProgramError when
// the file exists but cannot be opened.
QStringList loadPeerList(const QString& path);

// Rewrites the file from the list (an empty list gives an empty file). Throws ProgramError when the
// file cannot be written; the old file is then left as it was.
void savePeerList(const QString& path, const QStringList& list);
