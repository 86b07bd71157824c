#pragma once

#include <cstdint>

// Averages and percentages are shown rounded to the nearest integer with halves going to the even
// neighbour (2.5 -> 2, 3.5 -> 4), computed in double precision from the exact unsigned operands.
namespace Rounding {

[[nodiscard]] std::uint32_t halfEven(double value);

// numerator / denominator, rounded; 0 when the denominator is 0.
[[nodiscard]] std::uint32_t quotient(std::uint64_t numerator, std::uint64_t denominator);

// part / whole * 100 (the quotient first, then the scaling), rounded; 0 when whole is 0.
[[nodiscard]] std::uint32_t percent(std::uint32_t part, std::uint32_t whole);

} // namespace Rounding
