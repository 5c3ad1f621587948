#include "board/PlotRecord.h"
#include "common/ProgramError.h"

#include <algorithm>

namespace {

constexpr QChar kFieldSeparator = u' ';

// The characters from `pos` up to the next separator (or the end); `pos` moves onto that separator.
QString takeField(const QString& line, qsizetype& pos) {
    const qsizetype start = std::min(pos, line.size());
    qsizetype end = start;
    while (end < line.size() && line[end] != kFieldSeparator)
        ++end;
    pos = end;
    return line.mid(start, end - start);
}

} // namespace

QString formatPlotRecord(int x, int y, quint32 color) {
    return QStringLiteral("%1 %2 %3")
        .arg(QString::number(x), QString::number(y), QString::number(static_cast<int32_t>(color)));
}

std::optional<PlotPoint> parsePlotRecord(const QString& line) {
    qsizetype pos = 0;
    const QString xText = takeField(line, pos);
    ++pos; // skips exactly one separator: a second space starts an empty, invalid field
    const QString yText = takeField(line, pos);
    ++pos;
    const QString colorText = takeField(line, pos);
    const auto x = parseInt32(xText);
    const auto y = parseInt32(yText);
    const auto color = parseInt32(colorText);
    if (!x || !y || !color)
        return std::nullopt;
    return PlotPoint{*x, *y, *color};
}
