#pragma once

#include <string>

// Gives Qt's offscreen platform a screen of this size in physical pixels (its own is 800x600), so that a
// window's geometry can be checked against the screen people have; QT_SCALE_FACTOR then gives the logical size.
// Call before the QApplication is made. Returns false, leaving the platform alone, where the tests run on
// another one (a real X server). The file it writes lives to the end of the process.
bool useOffscreenScreen(int width, int height);

// "2" when the tests run at twice the scale, else "1": for messages and screenshot names.
[[nodiscard]] std::string scaleName();
