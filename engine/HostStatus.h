#pragma once

#include <cstdint>
#include <ostream>

enum class HostStatus : std::uint8_t { NA = 0, Bad = 1, Average = 2, Good = 3 };

inline std::ostream& operator<<(std::ostream& os, HostStatus s) {
    static const char* const names[] = {"N/A", "Bad", "Average", "Good"};
    auto i = static_cast<unsigned>(s);
    return os << (i < 4 ? names[i] : "?");
}
