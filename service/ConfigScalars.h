#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The scalar forms the config file accepts. Each returns nothing and says why in `why` when the text is unusable,
// so that the reader can point at the value.
namespace ConfigScalars {

// Decimal with an optional sign, or hexadecimal after "0x" (a TOS byte is often written so), within [low, high].
[[nodiscard]] std::optional<std::int64_t> integer(std::string_view text, std::int64_t low, std::int64_t high,
                                                  std::string& why);

// A duration as Prometheus and its exporters write one: numbers with units, largest first ("1s", "500ms", "1m30s",
// "1.5s"), units w, d, h, m, s, ms; "0" alone is zero. In whole milliseconds, within [lowMs, highMs].
[[nodiscard]] std::optional<std::uint64_t> durationMs(std::string_view text, std::uint64_t lowMs, std::uint64_t highMs,
                                                      std::string& why);

// A positive decimal number of seconds ("0.0005", "1e-3", "2"), as a histogram bound, in whole microseconds.
[[nodiscard]] std::optional<std::uint32_t> secondsAsMicros(std::string_view text, std::string& why);

// "500ms" written back the way durationMs reads it; for messages.
[[nodiscard]] std::string formatDuration(std::uint64_t ms);

// A label name Prometheus accepts and the service does not use itself.
[[nodiscard]] bool isLabelName(std::string_view text);
[[nodiscard]] bool isValidUtf8(std::string_view text);

// A host or source as written: not empty, no blanks or control characters, short enough for a DNS name or an
// address with its zone.
[[nodiscard]] bool isHostText(std::string_view text);

} // namespace ConfigScalars
