#pragma once

#include <cstdint>
#include <vector>

#include <QLocale>
#include <QString>
#include <QTimeZone>

// The History graph's time axis: ticks on whole local seconds, minutes, hours, days, months or years, as far
// apart as their labels need, each label as short as the span allows ("23:15:30", "23:15", "8 Dec", "Mar",
// "2027"). A tick at local midnight names the day, one on the first month of a year names the year.
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

} // namespace TimeAxis
