#pragma once

#include <cstdint>
#include <vector>

#include <QLocale>
#include <QString>
#include <QTimeZone>

class QPainter;
class QRect;

// The time axis of the History graph and of the Route window's path timeline: ticks on whole local seconds, minutes,
// hours, days, months or years, as far apart as their labels need, each label as short as the span allows ("23:15:30",
// "23:15", "8 Dec", "Mar", "2027"). A tick at local midnight names the day, one on the first month of a year names the
// year.
namespace TimeAxis {

struct Tick {
    std::int64_t atMs = 0;
    QString label;

    friend bool operator==(const Tick&, const Tick&) = default;
};

// The ticks within [fromMs, toMs], no two closer than `minGapMs`, in `zone`'s local time.
[[nodiscard]] std::vector<Tick> ticks(std::int64_t fromMs, std::int64_t toMs, std::int64_t minGapMs,
                                      const QTimeZone& zone = QTimeZone::systemTimeZone(),
                                      const QLocale& locale = QLocale());

// Draws the ticks of [fromMs, toMs) across `plot`: a grid line each over the plot and its label at `labelTop`
// below, labels kept within `widthLimit` and never closer than one and a half of their width.
void draw(QPainter& painter, const QRect& plot, int labelTop, int widthLimit, std::int64_t fromMs, std::int64_t toMs,
          const QColor& grid, const QColor& text);

} // namespace TimeAxis
