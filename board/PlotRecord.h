#pragma once
// A PlotRecord is the text of one point of the drawing board sent to the peer:
//
//     x SP y SP color          e.g. "120 45 255" (a red point at 120, 45)
//
// Each field is a decimal integer as the standard integer-to-text conversion writes it: no leading
// zeros, "-" before a negative value, no "+". The colour is a platform colour value 0x00BBGGRR. On
// the wire the record is followed by CR LF and travels on a connection of its own.
//
// Reading is deliberately literal, so that a malformed line is refused rather than guessed at: the
// first field runs from the first character up to the next space, exactly one character is then
// skipped, the second field runs to the next space, one more character is skipped, and the third
// field runs to the next space or the end of the line; whatever follows that space is ignored.
// Every field must be a signed 32-bit integer (decimal, or hexadecimal written "$1F" or "0x1F").

#include <QString>

#include <cstdint>
#include <optional>

struct PlotPoint {
    int32_t x;
    int32_t y;
    int32_t color;
};

// The colour is written as the signed 32-bit value it is on the wire, so anything written reads
// back.
QString formatPlotRecord(int x, int y, quint32 color);

// The point of one received line, or nothing when a field is missing or is not a 32-bit integer.
std::optional<PlotPoint> parsePlotRecord(const QString& line);
