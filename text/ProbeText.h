#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "types/ProbeEvent.h"

// The fields of the main window that probes fill (Host is set by run control).
enum class Label : std::uint8_t { Host, Status, Total, Lost, Min, Max, Avg };

// The texts of a probe and of a run's figures as people read them, in the window and on the console.
namespace ProbeText {

// "Replay from 10.0.0.1: bytes=32 time=14ms TTL=64", "Replay from 10.0.0.254: Destination Host Unreachable",
// or only the status text ("Request Timed Out") when nobody answered.
[[nodiscard]] std::string replyLine(const ProbeEvent& event);
// Rebuilds `line` in place, so a steady run of replies costs no allocation.
void replyLine(const ProbeEvent& event, std::string& line);

[[nodiscard]] std::string millis(std::uint32_t ms);          // "14ms"
[[nodiscard]] std::string total(const RunStatistics& stats); // "8"
[[nodiscard]] std::string lost(const RunStatistics& stats);  // "3 (38%)"
[[nodiscard]] std::uint32_t lostPercent(const RunStatistics& stats);

// The fields one probe sets, in the order the window sets them: the times only after a good reply (a loss
// leaves them as they were), then the reply line and the counters.
[[nodiscard]] std::vector<std::pair<Label, std::string>> labels(const ProbeEvent& event);

} // namespace ProbeText
