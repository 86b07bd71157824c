#include <cstdio>
#include <string>
#include <vector>

#include <QApplication>

#include "app/ApplicationFont.h"
#include "app/MainForm.h"
#include "settings/CommandLine.h"

int main(int argc, char* argv[]) {
    // --help and --version answer without a display.
    if (const auto text = InformationalOption(std::vector<std::string>(argv + 1, argv + argc))) {
        std::fputs(text->c_str(), stdout);
        return 0;
    }

    QApplication app(argc, argv);
    // The window decides when the program ends: in the tray it lives on with no window shown.
    QApplication::setQuitOnLastWindowClosed(false);
    ApplicationFont::install();

    TMain_Form::Services services;
    // What Qt took for itself (-platform, -display ...) is gone from argv by now.
    services.arguments.assign(argv + 1, argv + argc);
    TMain_Form Main_Form(std::move(services));
    // A signal can end the program while start-up still shows a box.
    if (Main_Form.isClosed())
        return 0;
    QObject::connect(&Main_Form, &TMain_Form::closed, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    Main_Form.show();
    return app.exec();
}
