#pragma once

#include <QFont>
#include <QString>

// The options dialog is laid out in pixels for an 11-pixel "MS Sans Serif". Tahoma (from Wine's font package,
// which fontconfig does not index) has the same metrics class and lets every caption fit; without it the
// closest installed sans-serif faces are tried. The main window follows the desktop's font instead: it grows
// with it (MainWindow::fitToFont), which the dialog's fixed layout cannot.
namespace ApplicationFont {
inline constexpr int PixelSize = 11;
// The font the fixed layouts are drawn for; loads Wine's Tahoma on first use. Needs the QGuiApplication.
QFont designFont();
// Makes designFont() the whole application's font and returns the family actually used (tests that check
// the fixed layouts).
QString install();
} // namespace ApplicationFont
