#pragma once

#include <array>
#include <cstdint>

#include <QColor>

// The smoke-graph convention for lost probes: green without loss, then blue, violet and on to red as the share
// grows, so a stray loss stays a tint and only real trouble turns red. The History graph's median line and the
// Route window's hop lanes both wear them. Saturated enough to read on a light and on a dark base.
namespace LossShades {

struct Shade {
    int upToPercent; // the highest share of this step; a step holds shares above the one before
    QColor colour;
    const char* label;
};
inline constexpr int kCount = 6;
[[nodiscard]] const std::array<Shade, kCount>& all();
// The step of `lost` out of `sent` (0 when nothing was sent or lost).
[[nodiscard]] int of(std::uint64_t lost, std::uint64_t sent);

} // namespace LossShades
