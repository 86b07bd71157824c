#pragma once

#include <QApplication>

// The one QApplication of a widget test program, created on first use and kept until the program ends.
// Set QT_QPA_PLATFORM / DISPLAY before the first call to choose the window system.
inline QApplication& widgetApp() {
    static int argc = 1;
    static char name[] = "ostrevo-widget-test";
    static char* argv[] = {name, nullptr};
    static auto* app = new QApplication(argc, argv);
    return *app;
}
