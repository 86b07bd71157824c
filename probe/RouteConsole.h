#pragma once

#include <cstdint>
#include <string>

#include "types/IpAddress.h"
#include "engine/RouteResult.h"
#include "text/RouteText.h"

struct ProbeOptions;

// The console probe's `--route` face: traces the route to the host and prints the hop table the way mtr's
// report does, or one JSON object, with the hop where loss begins.
namespace RouteConsole {

inline constexpr std::uint32_t kDefaultRounds = 10;

// The table with its header and the closing "Loss begins at hop N (ADDRESS)" / "No loss on the path" line.
[[nodiscard]] std::string table(const RouteResult& result, const std::string& host);
// One JSON object on one line, ending in a newline.
[[nodiscard]] std::string json(const RouteResult& result);
// "Loss begins at hop 3 (192.0.2.1)" or "No loss on the path", without a newline; the window says it alike.
using RouteText::lossLine;

// Traces and prints; the exit status: 0 the destination answered, 1 it did not, 2 no ICMP socket.
[[nodiscard]] int run(const ProbeOptions& options, const IpAddress& target, const std::string& targetText);

} // namespace RouteConsole
