#include "app/common/LossShades.h"

namespace LossShades {

const std::array<Shade, kCount>& all() {
    static const std::array<Shade, kCount> shades{{
        {0, QColor(0x1f, 0xa8, 0x2c), "0 %"},
        {5, QColor(0x00, 0x9c, 0xe6), "up to 5 %"},
        {10, QColor(0x2f, 0x5b, 0xff), "up to 10 %"},
        {20, QColor(0x8a, 0x3c, 0xf0), "up to 20 %"},
        {50, QColor(0xd8, 0x2a, 0xc8), "up to 50 %"},
        {100, QColor(0xe8, 0x23, 0x23), "over 50 %"},
    }};
    return shades;
}

int of(std::uint64_t lost, std::uint64_t sent) {
    if (sent == 0 || lost == 0)
        return 0;
    // In whole numbers: one in twenty is exactly 5 %, not a float a hair above it.
    for (int i = 1; i < kCount; ++i) {
        if (lost * 100 <= static_cast<std::uint64_t>(all()[static_cast<std::size_t>(i)].upToPercent) * sent)
            return i;
    }
    return kCount - 1;
}

} // namespace LossShades
