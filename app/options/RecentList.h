#pragma once

#include <string>
#include <string_view>
#include <vector>

// The recent-host list as the settings keep it: one entry per line, every entry followed by CR LF.
namespace RecentList {

// Lines of the stored text; CR LF, LF and CR all end a line, and a final line end adds no empty entry.
[[nodiscard]] std::vector<std::string> split(std::string_view text);
// Every entry followed by CR LF; empty entries are left out.
[[nodiscard]] std::string join(const std::vector<std::string>& entries);
// ASCII letters A to Z compare regardless of case; every other byte must be equal.
[[nodiscard]] bool sameEntry(std::string_view a, std::string_view b);
// Appends `host` unless it is empty or an entry already matches it; returns whether it was added.
bool remember(std::vector<std::string>& entries, const std::string& host);

} // namespace RecentList
