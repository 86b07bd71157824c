#include <cstdio>
#include <string>
#include <vector>

#include <QApplication>

#include "app/ApplicationFont.h"
#include "app/MainWindow.h"
#include "settings/CommandLine.h"

int main(int argc, char* argv[]) {
    // Taken before QApplication removes its own options: an argument of any kind keeps the settings unsaved.
    const std::vector<std::string> received(argv + 1, argv + argc);

    // The long options answer without a display.
    const LongOptionScan longOptions = scanLongOptions(received);
    if (!longOptions.error.empty()) {
        std::fprintf(stderr, "ostrevo: %s\n%s", longOptions.error.c_str(), usageText().c_str());
        return 2;
    }
    if (longOptions.has("--help")) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    if (longOptions.has("--version")) {
        std::fputs(versionText().c_str(), stdout);
        return 0;
    }

    QApplication app(argc, argv);
    // The window decides when the program ends: in the tray it lives on with no window shown.
    QApplication::setQuitOnLastWindowClosed(false);
    ApplicationFont::install();

    MainWindow::Services services;
    // What Qt took for itself (-platform, -display ...) is gone from argv by now.
    services.arguments.assign(argv + 1, argv + argc);
    services.startedWithArguments = !received.empty();
    MainWindow mainWindow(std::move(services));
    // A signal can end the program while start-up still shows a box.
    if (mainWindow.isClosed())
        return 0;
    QObject::connect(&mainWindow, &MainWindow::closed, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    mainWindow.show();
    return app.exec();
}
