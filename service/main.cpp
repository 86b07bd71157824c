// ostrevod: watches the hosts of a config file and serves their figures to Prometheus.

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "service/ConfigReader.h"
#include "service/LogfmtLogger.h"
#include "service/ServiceCommandLine.h"

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
    LogfmtLogger log(2, options.logLevel);
    const ConfigReadResult config = ConfigReader::readFile(options.configFile);
    if (!config.ok()) {
        for (const ConfigProblem& problem : config.problems) {
            log.error("bad config file", {{"problem", ConfigReader::describe(options.configFile, problem)}});
        }
        return 1;
    }
    log.info("config read", {{"file", options.configFile},
                             {"targets", std::to_string(config.config.targets.size())}});
    return 0;
}
