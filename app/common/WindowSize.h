#pragma once

#include <string>

#include <QSize>

// The size a window kept in the settings ("720x480") comes back as: `fallback` when the text is no size, and
// never smaller than `minimum` nor larger than the screen, so a value from a larger screen or a hand edit
// still gives a window that fits and can be used.
[[nodiscard]] QSize keptWindowSize(const std::string& kept, QSize fallback, QSize minimum);
