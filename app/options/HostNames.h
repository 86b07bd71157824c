#pragma once

#include <string_view>

// Whether two typed hosts name the same one, so that a host is not watched twice under two spellings.
namespace HostNames {
// Names compare without regard to case or edge blanks (DNS names are case-blind); addresses by their value,
// in every form the run accepts ("127.1" is "127.0.0.1", "::1" is "0:0::1").
[[nodiscard]] bool same(std::string_view a, std::string_view b);
} // namespace HostNames
