#pragma once

#include <QString>

// The window layouts are drawn in pixels for an 11-pixel "MS Sans Serif". Tahoma (from Wine's font package,
// which fontconfig does not index) has the same metrics class and lets every caption fit; without it the
// closest installed sans-serif faces are tried. Call once after the QApplication exists.
namespace ApplicationFont {
inline constexpr int PixelSize = 11;
// Installs the font and returns the family actually used.
QString install();
} // namespace ApplicationFont
