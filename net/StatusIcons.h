#pragma once
// The connection status icon: a small coloured ball on a transparent ground.

#include <QImage>
#include <QString>
#include <QStringList>

inline constexpr int kStatusIconSize = 16;
inline constexpr int kStatusOffline = 0;   // red ball
inline constexpr int kStatusOnline = 1;    // yellow ball: listening, not connected
inline constexpr int kStatusConnected = 2; // green ball
inline constexpr int kStatusIconCount = 3;

// The 16 x 16 ARGB32 image of the status index (0 red, 1 yellow, 2 green); a null image for any
// other index. For a screen of another device pixel ratio the ball is drawn that many times larger,
// with that ratio, so it stays 16 x 16 to the layout and sharp on the screen.
QImage statusBall(int index, qreal devicePixelRatio = 1.0);

// What the ball at the status index says, for its tooltip and its accessible description:
// "Offline", "Online" or "Connected". notListening names the listeners that could not open when
// the program last went online ("Chat port 484", ...); while online or connected they are told
// after the state, so a yellow or green ball never hides that a port is not listening.
QString statusBallText(int index, const QStringList& notListening);
