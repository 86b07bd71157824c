#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/RouteResult.h"
#include "types/RouteChange.h"

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
// The same from a stored trace's figures: the hop where loss begins (none: no loss) and its first address
// (empty when it never answered).
[[nodiscard]] std::string lossLine(std::optional<int> hop, const std::string& address);
// Where loss begins, in words for the desktop (the notification, the Route window, History): as lossLine while
// that hop answers; of one that never does, "Loss begins at hop 3, which does not answer; hop 2, 198.18.2.2, is
// the last that does" (or "...; no hop before it does").
[[nodiscard]] std::string lossSentence(const RouteResult& result);
// The same from a stored trace's figures: also the last hop before it that answered (none: no such hop) and
// its first address.
[[nodiscard]] std::string lossSentence(std::optional<int> hop, const std::string& address,
                                       std::optional<int> lastAnswering, const std::string& lastAddress);
// Where an outage's trace found the loss beginning, for a column: "hop 3, 192.0.2.1", "hop 3" or
// "no loss on the path".
[[nodiscard]] std::string where(std::optional<int> hop, const std::string& address);

// A lasting route change, for the log and the notification: "Route to HOST changed at hop 3: 192.0.2.1 →
// 198.51.100.7", `host` as configured.
[[nodiscard]] std::string changeSentence(const std::string& host, const RouteChange& change);

} // namespace RouteText
