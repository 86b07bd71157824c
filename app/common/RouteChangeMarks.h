#pragma once

#include <cstdint>
#include <vector>

#include <QColor>
#include <QString>

#include "history/PathRecords.h"

class QPainter;
class QRect;

// Route changes on a time graph: a dashed line over the plot at each change with a small flag at its top, in a
// colour that is none of the loss colours and reads on a light and on a dark base. The History window's latency
// graph and the Route window's path timeline mark them alike and say the same when hovered.
namespace RouteChangeMarks {

[[nodiscard]] QColor colour();
// Marks the changes within [fromMs, toMs) over `plot`, which spans that time from its left to its right edge.
void draw(QPainter& painter, const QRect& plot, std::int64_t fromMs, std::int64_t toMs,
          const std::vector<RouteChange>& changes);
// The change whose mark is nearest to x, at most `reach` pixels away; null when none is.
[[nodiscard]] const RouteChange* at(int x, int reach, const QRect& plot, std::int64_t fromMs, std::int64_t toMs,
                                    const std::vector<RouteChange>& changes);
// A graph's tooltip at x: `figures`, below what changed when a change is marked within reach of x (half a
// character's width of `charWidth`, at least three pixels).
[[nodiscard]] QString withChangeAt(int x, const QRect& plot, std::int64_t fromMs, std::int64_t toMs,
                                   const std::vector<RouteChange>& changes, const QString& figures, int charWidth);
// When it changed, and what answered at the hop that changed before and after:
// "Route changed at 2026-12-07 21:40:12\nHop 3: 198.18.2.2 → 198.18.4.2".
[[nodiscard]] QString toolTip(const RouteChange& change);

} // namespace RouteChangeMarks
