#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>

#include "app/AppRoot.h"
#include "app/MainWindow.h"
#include "engine/Modules.h"
#include "metrics/ListenAddress.h"
#include "metrics/MetricsEndpoint.h"
#include "metrics/MetricsObserver.h"
#include "metrics/MetricsRegistry.h"
#include "settings/CommandLine.h"

namespace {

// The address comes from --metrics, else from the MetricsListen setting. One that cannot be served costs the
// metrics, never the monitoring: the program says why and goes on. The server's module is loaded only here.
std::unique_ptr<MetricsEndpoint> serveMetrics(const MetricsRegistry& metrics, const LongOptionScan& longOptions,
                                              const std::string& stored) {
    const auto option = longOptions.given.find("--metrics");
    const std::string& text = option != longOptions.given.end() ? option->second : stored;
    if (text.empty())
        return nullptr;
    const char* source = option != longOptions.given.end() ? "--metrics" : "MetricsListen";
    const ListenAddressParse parsed = parseListenAddress(text);
    std::string error = parsed.error;
    if (parsed.listen) {
        auto server = Modules::make<MetricsEndpointFactory>(Modules::path(kMetricsModule), kMetricsEndpointFactory,
                                                            error, metrics);
        if (!server)
            error = "cannot load the metrics server: " + error;
        else if (server->start(*parsed.listen))
            return server;
        else
            error = server->errorText();
    }
    std::fprintf(stderr, "ostrevo: %s: %s; going on without metrics\n", source, error.c_str());
    return nullptr;
}

} // namespace

int main(int argc, char* argv[]) {
    std::signal(SIGPIPE, SIG_IGN); // a closed stderr pipe fails the write instead of ending the program unsaved
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
    // Notification servers and the session find the desktop entry, its name and icon, by this id.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.quorvan.Ostrevo"));
    // The main window decides when the program ends: in the tray it lives on with no window shown.
    QApplication::setQuitOnLastWindowClosed(false);

    AppRoot::Services services;
    // What Qt took for itself (-platform, -display ...) is gone from argv by now.
    services.arguments.assign(argv + 1, argv + argc);
    std::erase_if(services.arguments, isAutostartArgument);
    services.autostart = longOptions.has("--autostart");
    services.startedWithArguments =
        std::any_of(received.begin(), received.end(), [](const std::string& arg) { return !isAutostartArgument(arg); });
    // Fed from the first probe on; served once the settings say where. Both outlive the program's worker.
    MetricsRegistry metrics;
    const auto metricsObserver = std::make_shared<MetricsObserver>(metrics);
    services.probeObservers.push_back(metricsObserver);
    services.pathObservers.push_back(metricsObserver.get());
    services.routeTraced = [&metrics](const std::string& host, const std::string& address,
                                      std::optional<std::uint32_t> hop) {
        metrics.setRouteLossBegins(host, address, hop);
    };
    AppRoot root(std::move(services));
    MainWindow& mainWindow = root.mainWindow();
    // A signal can end the program while start-up still shows a box.
    if (mainWindow.isClosed())
        return 0;
    const std::unique_ptr<MetricsEndpoint> metricsServer =
        serveMetrics(metrics, longOptions, root.settings().metricsListen);
    QObject::connect(&mainWindow, &MainWindow::closed, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    mainWindow.show();
    return app.exec();
}
