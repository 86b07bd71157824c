#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "service/ServiceConfig.h"

// One thing wrong with a config file, where it is (1-based; 0 when the whole file is at fault).
struct ConfigProblem {
    int line = 0;
    int column = 0;
    std::string message;

    bool operator==(const ConfigProblem&) const = default;
};

void PrintTo(const ConfigProblem& problem, std::ostream* os);

struct ConfigReadResult {
    ServiceConfig config; // meaningful only when there are no problems
    std::vector<ConfigProblem> problems;

    [[nodiscard]] bool ok() const { return problems.empty(); }
};

// Reads the service's YAML config strictly: an unknown key, a value of the wrong type or out of range, or a
// target watched twice is a problem with its place, and every problem of the file is reported, not only the
// first, so that one run of --config.check shows them all.
namespace ConfigReader {

// Files larger than this are refused unread: ample for 100,000 targets, and no file can exhaust memory.
inline constexpr std::size_t kMaxFileBytes = 64 * 1024 * 1024;
inline constexpr std::size_t kMaxTargets = 100'000;
inline constexpr std::size_t kMaxBuckets = 64;
inline constexpr std::size_t kMaxLabels = 32;
// Past this many problems the rest of the file goes unread: a list repeated by aliases could otherwise make each
// of its entries a problem again, millions from a few kilobytes.
inline constexpr std::size_t kMaxProblems = 100;
// What the YAML library's guard against deep nesting means, which it calls a "bad file".
inline constexpr const char* kTooDeep = "lists and maps are nested too deep";

[[nodiscard]] ConfigReadResult parse(std::string_view text);
[[nodiscard]] ConfigReadResult readFile(const std::string& path);

// "PATH:LINE:COLUMN: message", or "PATH: message" for the whole file, as compilers and linters write it.
[[nodiscard]] std::string describe(const std::string& path, const ConfigProblem& problem);

} // namespace ConfigReader
