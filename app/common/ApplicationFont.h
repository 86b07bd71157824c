#pragma once

#include <QFont>
#include <QString>

// The forms are drawn in pixels for an 11-pixel "MS Sans Serif". Tahoma (from Wine's font package, which
// fontconfig does not index) has the same metrics class; without it the closest installed sans-serif faces
// are tried. The windows and dialogs themselves follow the desktop's font: they scale their drawing for it
// (MainWindow::fitToFont, DrawnForm).
namespace ApplicationFont {
inline constexpr int PixelSize = 11;
// The font the fixed layouts are drawn for; loads Wine's Tahoma on first use. Needs the QGuiApplication.
QFont designFont();
// Makes designFont() the whole application's font and returns the family actually used (tests that check
// the fixed layouts).
QString install();
} // namespace ApplicationFont
