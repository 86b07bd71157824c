#pragma once

#include "metrics/MetricsSnapshot.h"

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::string_view kExpositionContentType = "text/plain; version=0.0.4; charset=utf-8";

// The Prometheus text exposition (format 0.0.4) of a snapshot.
[[nodiscard]] std::string writeExposition(const MetricsSnapshot& snapshot);

// The value of the status label of ostrevo_host_status: good, average, bad, or unknown for N/A and any code
// outside the enum.
[[nodiscard]] std::string_view statusStateName(HostStatus status);

// A label value as it goes between the quotes: backslash, double quote and line feed escaped, and invalid UTF-8
// (a host name given on the command line can hold any bytes) replaced by U+FFFD, which scrapers would reject.
[[nodiscard]] std::string escapeLabelValue(std::string_view value);

// Whole microseconds as a decimal number of seconds, exact and without trailing zeros: 2500 -> "0.0025".
[[nodiscard]] std::string microsAsSeconds(std::uint64_t micros);
