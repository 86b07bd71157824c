#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// When this process started, as Unix time in microseconds: what process_start_time_seconds reports, so that
// a dashboard can tell a restart (counters back at zero) from a quiet host. Read from /proc as the Prometheus
// client libraries do; when /proc cannot tell, the time of the call stands in for it, which is close enough
// since the registry asks during start-up.
[[nodiscard]] std::uint64_t processStartMicros();

// The start from the texts of /proc/self/stat and /proc/stat: boot time ("btime" in /proc/stat) plus the
// process's start in clock ticks after boot (field 22 of /proc/self/stat). Nothing when either text does not
// hold its figure or `ticksPerSecond` is not positive.
[[nodiscard]] std::optional<std::uint64_t> processStartMicros(std::string_view selfStat, std::string_view stat,
                                                              long ticksPerSecond);
