#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

// The text of every stored key as this instance last read or wrote it; none for a key the file did not hold.
// Another instance may save the same file meanwhile: a save that knows what this instance read writes only
// what it changed, so that the other one's values stay.
using StoredTexts = std::map<std::string, std::optional<std::string>, std::less<>>;
