#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

constexpr std::size_t kRingSlots = 128;
constexpr std::int32_t kSlotEmpty = -1;
constexpr std::int32_t kSlotFailure = -2000;

// Recent probe outcomes: -1 empty, -2000 failure, otherwise the round-trip time in ms.
// The analysis by tries rewinds index itself, so it stays a plain public field.
struct ResultRing {
    std::array<std::int32_t, kRingSlots> values;
    std::uint8_t index = 0;

    ResultRing() { clear(); }

    void clear() {
        values.fill(kSlotEmpty);
        index = 0;
    }

    // Writes one outcome and advances. Only the low 7 bits of the index count, so an index left at 128 by
    // a full lap writes slot 0 again.
    void record(std::int32_t value) {
        index &= 0x7F;
        values[index] = value;
        ++index;
    }
};
