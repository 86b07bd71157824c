#pragma once

#include <string_view>

#include "engine/HostStatus.h"

// Word of a host status; the log and the alert parameters differ only in the word for no status
// ("N/A" and "NA").
[[nodiscard]] inline std::string_view StatusWord(HostStatus status, std::string_view noStatus) {
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
