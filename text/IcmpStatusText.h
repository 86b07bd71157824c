#pragma once

#include <cstdint>
#include <string>

#include "types/IpStatus.h"

// English text of a status code, "Unknown" for anything outside the table.
[[nodiscard]] std::string icmpStatusText(std::int32_t code);
