#pragma once
// The connection status icon: a small coloured ball on a transparent ground.

#include <QImage>

inline constexpr int kStatusIconSize = 16;
inline constexpr int kStatusOffline = 0;   // red ball
inline constexpr int kStatusOnline = 1;    // yellow ball: listening, not connected
inline constexpr int kStatusConnected = 2; // green ball
inline constexpr int kStatusIconCount = 3;

// The 16 x 16 ARGB32 image of the status index (0 red, 1 yellow, 2 green); a null image for any
// other index.
QImage statusBall(int index);
