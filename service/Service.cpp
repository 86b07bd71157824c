#include "service/Service.h"

#include <cstdio>

Service::Service(std::string configPath, LogfmtLogger& log, Apply apply, Clock clock)
    : configPath_(std::move(configPath)), log_(log), apply_(std::move(apply)), clock_(std::move(clock)) {}

bool Service::start() {
    return readAndApply("start").empty();
}

std::string Service::reload(std::string_view trigger) {
    return readAndApply(trigger);
}

std::string Service::readAndApply(std::string_view trigger) {
    const std::lock_guard lock(mutex_);
    const ConfigReadResult read = ConfigReader::readFile(configPath_);
    if (!read.ok()) {
        std::string problems;
        for (const ConfigProblem& problem : read.problems) {
            const std::string line = ConfigReader::describe(configPath_, problem);
            log_.error(trigger == "start" ? "bad config file" : "bad config file; the running targets stay",
                       {{"problem", line}, {"trigger", trigger}});
            problems += line + "\n";
        }
        lastSuccessful_ = false;
        problems.pop_back();
        return problems;
    }
    apply_(read.config);
    targets_ = read.config.targets.size();
    lastSuccessful_ = true;
    lastSuccess_ = clock_();
    log_.info(trigger == "start" ? "config read" : "config reloaded",
              {{"file", configPath_}, {"targets", std::to_string(targets_)}, {"trigger", trigger}});
    return {};
}

std::size_t Service::targetCount() const {
    const std::lock_guard lock(mutex_);
    return targets_;
}

std::string Service::exposition() const {
    const std::lock_guard lock(mutex_);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(lastSuccess_.time_since_epoch()).count();
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%lld.%03lld", static_cast<long long>(millis / 1000),
                  static_cast<long long>(millis % 1000));
    return "# HELP ostrevod_config_last_reload_successful Whether the last reading of the config file was good.\n"
           "# TYPE ostrevod_config_last_reload_successful gauge\n"
           "ostrevod_config_last_reload_successful " +
           std::string(lastSuccessful_ ? "1" : "0") +
           "\n"
           "# HELP ostrevod_config_last_reload_success_timestamp_seconds When the config file was last read good.\n"
           "# TYPE ostrevod_config_last_reload_success_timestamp_seconds gauge\n"
           "ostrevod_config_last_reload_success_timestamp_seconds " +
           std::string(seconds) + "\n";
}
