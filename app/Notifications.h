#pragma once
// Telling a user whose window is in the background that something happened: while the main window
// is not the active window, each of these posts a desktop notification (one per kind at a time,
// a new one replacing the old) and asks the window manager to draw attention to the window.
// Activating the notification brings the window up. Nothing happens while the window is active
// or not shown. Texts from the peer are made safe and cut, and what they are built from is bounded
// before it is decoded, so no message stalls the window. Each may be called from any thread: the
// work is queued onto the window's thread.

#include <QByteArray>
#include <QList>
#include <QString>

class QWidget;

// Each is called only for what the connected peer sent; peerAddress is its address as text. The
// notification's title names the peer: its nickname (from its last chat line) and its address.

// A chat line from the peer: the typed text is the body.
void notifyChatLine(QWidget* window, const QString& peerAddress, const QString& line);
// The peer asked for these files ("Ask for download"): their count and the first few names.
void notifyFilesAsked(QWidget* window, const QString& peerAddress, const QList<QByteArray>& names);
// The peer has accepted the trade, which now waits for this side's "Start download".
void notifyPeerAccepted(QWidget* window, const QString& peerAddress);
// A trade message that may end a direction of the transfer has been handled: "§§-LastFileSended-§§"
// (lastFileSended: the peer's files have all arrived) or "§§-SendNextFile-§§" (else). With
// nothingLeftToSend this copy's own files have all gone too; a next-file request with files still
// to send ends nothing and tells nothing.
void notifyTransferEnd(QWidget* window, const QString& peerAddress, bool lastFileSended,
                       bool nothingLeftToSend);
