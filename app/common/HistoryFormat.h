#pragma once

#include <cstdint>

#include <QString>

// Texts of the History window: round-trip times, durations and moments in the user's time zone.
namespace HistoryFormat {

// "0.081 ms", "4.25 ms", "38.4 ms", "152 ms": sub-millisecond times keep their digits, long ones lose noise.
[[nodiscard]] QString milliseconds(std::int64_t us);
// "45 s", "3 min 05 s", "2 h 04 min", "3 d 07 h".
[[nodiscard]] QString duration(std::int64_t ms);
// Local "2026-12-07 23:15:04".
[[nodiscard]] QString dateTime(std::int64_t atMs);
// "99.98 %": rounded down, so a span with any loss never reads 100 %.
[[nodiscard]] QString availability(std::uint64_t sent, std::uint64_t lost);

} // namespace HistoryFormat
