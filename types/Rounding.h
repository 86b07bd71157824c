#pragma once

#include <cmath>
#include <cstdint>

// Averages and percentages are shown rounded to the nearest integer with halves going to the even
// neighbour (2.5 -> 2, 3.5 -> 4), computed in double precision from the exact unsigned operands.
namespace Rounding {

// Done by hand rather than with nearbyint so that a changed floating-point rounding mode elsewhere in the
// process cannot change what the window shows.
[[nodiscard]] inline std::uint32_t halfEven(double value) {
    if (!(value > 0.0))
        return 0;
    double whole = std::floor(value);
    const double fraction = value - whole;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0))
        whole += 1.0;
    if (whole >= 4294967295.0)
        return 4294967295u;
    return static_cast<std::uint32_t>(whole);
}

// numerator / denominator, rounded; 0 when the denominator is 0.
[[nodiscard]] inline std::uint32_t quotient(std::uint64_t numerator, std::uint64_t denominator) {
    if (denominator == 0)
        return 0;
    return halfEven(static_cast<double>(numerator) / static_cast<double>(denominator));
}

// part / whole * 100 (the quotient first, then the scaling), rounded; 0 when whole is 0.
[[nodiscard]] inline std::uint32_t percent(std::uint32_t part, std::uint32_t whole) {
    if (whole == 0)
        return 0;
    const double quotient = static_cast<double>(part) / static_cast<double>(whole);
    return halfEven(quotient * 100.0);
}

} // namespace Rounding
