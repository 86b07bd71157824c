#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

#include "history/ProbeSample.h"

// CSV of exported samples: RFC 4180 (CR LF line ends; a field holding a comma, quote, CR or LF is quoted and
// its quotes doubled). Pure functions, so they can be tested and fuzzed without a database.
namespace HistoryCsv {

using StatusText = std::function<std::string(std::uint32_t status)>;

// Column names, as the first line of an export.
[[nodiscard]] std::string header();
// One sample as a line: UTC time, host, address, rtt_ms with three decimals, status, status text, ttl.
[[nodiscard]] std::string record(const ProbeSample& sample, const StatusText& statusText);

void appendField(std::string& out, std::string_view field);
[[nodiscard]] std::string line(std::initializer_list<std::string_view> fields);

// 2026-12-07T23:15:00.123Z
[[nodiscard]] std::string isoUtc(std::int64_t atMs);
// 12345 -> "12.345"
[[nodiscard]] std::string milliseconds(std::int64_t us);

} // namespace HistoryCsv
