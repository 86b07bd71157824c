#pragma once

#include "settings/Settings.h"

// A watched host's own fields (the field table's per-host scope) apart from the program-wide ones.
namespace HostFields {

// The program-wide fields of `program` with the per-host ones of `host`: what a run of that host reads.
[[nodiscard]] Settings merged(const Settings& program, const Settings& host);
// The per-host fields are the same, as stored (so a value normalised on reading equals what it came from).
[[nodiscard]] bool same(const Settings& a, const Settings& b);

} // namespace HostFields
