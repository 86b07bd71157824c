#pragma once

#include <cstdint>
#include <ostream>
#include <string_view>

enum class HostStatus : std::uint8_t { NA = 0, Bad = 1, Average = 2, Good = 3 };

// Word of a host status. The log and the alert parameters differ only in the word for no status
// ("N/A" and "NA").
[[nodiscard]] inline std::string_view statusWord(HostStatus status, std::string_view noStatus = "N/A") {
    switch (status) {
    case HostStatus::Bad:
        return "Bad";
    case HostStatus::Average:
        return "Average";
    case HostStatus::Good:
        return "Good";
    case HostStatus::NA:
        break;
    }
    return noStatus;
}

// How much a status asks for a look, for telling the worst of several hosts: Bad most, then Average, then
// Good; N/A (nothing known yet) least.
[[nodiscard]] inline int severity(HostStatus status) {
    switch (status) {
    case HostStatus::Bad:
        return 3;
    case HostStatus::Average:
        return 2;
    case HostStatus::Good:
        return 1;
    case HostStatus::NA:
        break;
    }
    return 0;
}

inline std::ostream& operator<<(std::ostream& os, HostStatus s) {
    return os << statusWord(s);
}
