#pragma once

#include <cstdint>
#include <string>

#include "engine/RouteResult.h"

// The texts of a traced route's hops, as the console's table and the Route window both show them.
namespace RouteText {

// What stands for the address of a hop that never answered.
inline constexpr const char* kUnknownAddress = "???";

// Microseconds as milliseconds with one decimal: "12.3".
[[nodiscard]] std::string milliseconds(std::uint32_t micros);
// "40.0%".
[[nodiscard]] std::string lossPercent(const RouteHop& hop);
// The address first heard at the hop, or kUnknownAddress.
[[nodiscard]] std::string firstAddress(const RouteHop& hop);
// "Loss begins at hop 3 (192.0.2.1)" or "No loss on the path", without a newline.
[[nodiscard]] std::string lossLine(const RouteResult& result);

} // namespace RouteText
