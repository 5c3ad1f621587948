// Plot records as the plot channel reads them: a received line is decoded and parsed; a parsed
// point is written back and must read as the same point, and any point written must read back.
#include "fuzz/FuzzCheck.h"

#include "board/PlotRecord.h"
#include "common/AnsiText.h"

#include <cstdint>
#include <cstring>

namespace {

void checkRoundTrip(int32_t x, int32_t y, int32_t color) {
    const auto back = parsePlotRecord(formatPlotRecord(x, y, static_cast<quint32>(color)));
    FUZZ_CHECK(back && back->x == x && back->y == y && back->color == color);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString line = ansi::decode(fuzz::bytesOf(data, size));
    if (const auto point = parsePlotRecord(line)) {
        // Three fields were there: no more of them than spaces allow.
        FUZZ_CHECK(line.count(QLatin1Char(' ')) >= 2);
        checkRoundTrip(point->x, point->y, point->color);
    }
    int32_t values[3] = {};
    if (size >= sizeof values) {
        std::memcpy(values, data, sizeof values);
        checkRoundTrip(values[0], values[1], values[2]);
    }
    return 0;
}
