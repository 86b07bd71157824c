#include <cstdio>
#include <string>
#include <vector>

#include <QApplication>

#include "app/ApplicationFont.h"
#include "app/MainWindow.h"
#include "settings/CommandLine.h"

int main(int argc, char* argv[]) {
    // --help and --version answer without a display.
    if (const auto text = informationalOption(std::vector<std::string>(argv + 1, argv + argc))) {
        std::fputs(text->c_str(), stdout);
        return 0;
    }

    QApplication app(argc, argv);
    // The window decides when the program ends: in the tray it lives on with no window shown.
    QApplication::setQuitOnLastWindowClosed(false);
    ApplicationFont::install();

    MainWindow::Services services;
    // What Qt took for itself (-platform, -display ...) is gone from argv by now.
    services.arguments.assign(argv + 1, argv + argc);
    MainWindow mainWindow(std::move(services));
    // A signal can end the program while start-up still shows a box.
    if (mainWindow.isClosed())
        return 0;
    QObject::connect(&mainWindow, &MainWindow::closed, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    mainWindow.show();
    return app.exec();
}
