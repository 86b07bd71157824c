// ostrevod: watches the hosts of a config file and serves their figures to Prometheus.

#include <signal.h>

#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "metrics/MetricsRegistry.h"
#include "metrics/MetricsServer.h"
#include "service/ConfigReader.h"
#include "service/LogfmtLogger.h"
#include "service/MainLoop.h"
#include "service/Service.h"
#include "service/ServiceCommandLine.h"
#include "service/ServiceRoot.h"
#include "service/WebConfigReader.h"

namespace {

// Every problem on a line of its own, as a compiler reports them; the count last.
int checkConfig(const std::string& path) {
    const ConfigReadResult result = ConfigReader::readFile(path);
    for (const ConfigProblem& problem : result.problems) {
        std::cerr << ConfigReader::describe(path, problem) << '\n';
    }
    if (!result.ok()) {
        std::cerr << path << ": " << result.problems.size() << (result.problems.size() == 1 ? " problem" : " problems")
                  << '\n';
        return 1;
    }
    std::cout << path << ": good, " << result.config.targets.size()
              << (result.config.targets.size() == 1 ? " target" : " targets") << '\n';
    return 0;
}

int run(const ServiceOptions& options) {
    LogfmtLogger log(2, options.logLevel);
    log.info("starting ostrevod", {{"version", OSTREVO_VERSION}});

    WebSecurity security;
    if (!options.webConfigFile.empty()) {
        const WebConfigReadResult web = WebConfigReader::readFile(options.webConfigFile);
        for (const ConfigProblem& problem : web.problems) {
            log.error("bad web config file", {{"problem", ConfigReader::describe(options.webConfigFile, problem)}});
        }
        if (!web.ok()) {
            return 1;
        }
        security = web.security;
    }

    // The signals are taken by the loop below alone: blocked before any thread starts, every thread inherits that.
    sigset_t signals;
    sigemptyset(&signals);
    for (const int number : {SIGHUP, SIGINT, SIGTERM}) {
        sigaddset(&signals, number);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    MainLoop loop(signals);
    const std::thread::id loopThread = std::this_thread::get_id();

    MetricsRegistry registry;
    std::unique_ptr<ServiceRoot> root;
    // A reload by HTTP comes on the scrape server's thread; the targets change on the loop's.
    Service service(options.configFile, log, [&](const ServiceConfig& config) {
        if (std::this_thread::get_id() != loopThread) {
            loop.post([&root, config] { root->apply(config); });
            return;
        }
        if (!root) {
            root = std::make_unique<ServiceRoot>(config, options.historyPath, registry, loop, log);
        }
        root->apply(config);
    });
    if (!service.start()) {
        return 1;
    }

    std::vector<std::unique_ptr<MetricsServer>> servers;
    for (const ListenAddress& where : options.listen) {
        auto server = std::make_unique<MetricsServer>(registry);
        server->setSecurity(security);
        server->setLifecycleEndpoints([&service] { return service.reload("http"); });
        server->setExtraExposition([&service, &root] { return service.exposition() + root->exposition(); });
        if (!server->start(where)) {
            log.error("cannot serve metrics", {{"address", where.toString()}, {"err", server->errorText()}});
            return 1;
        }
        log.info("serving metrics", {{"address", where.toString()},
                                     {"tls", security.tls ? "true" : "false"},
                                     {"basic_auth", security.basicAuthUsers.empty() ? "false" : "true"}});
        servers.push_back(std::move(server));
    }

    loop.run([&](int number) {
        if (number == SIGHUP) {
            (void)service.reload("SIGHUP");
            return true;
        }
        log.info("stopping", {{"signal", number == SIGTERM ? "SIGTERM" : "SIGINT"}});
        return false;
    });
    servers.clear();
    root.reset();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const ServiceOptions options = ServiceCommandLine::parse(arguments, ServiceCommandLine::processEnvironment());
    switch (options.action) {
    case ServiceOptions::Action::Fail:
        std::cerr << "ostrevod: " << options.error << "\nTry 'ostrevod --help' for more information.\n";
        return 2;
    case ServiceOptions::Action::Help:
        std::cout << ServiceCommandLine::usage();
        return 0;
    case ServiceOptions::Action::Version:
        std::cout << "ostrevod " << OSTREVO_VERSION << '\n';
        return 0;
    case ServiceOptions::Action::CheckConfig:
        return checkConfig(options.configFile);
    case ServiceOptions::Action::Run:
        break;
    }
    return run(options);
}
