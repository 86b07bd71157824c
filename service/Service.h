#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "service/ConfigReader.h"
#include "service/LogfmtLogger.h"

// The service's config and its reloads: reads the file, hands a good one to whoever watches the targets, keeps the
// running set when a new file is bad, and keeps the figures of how that went for the scrape. Reloads come from
// the signal loop and the scrape server's thread, one at a time.
class Service {
public:
    using Apply = std::function<void(const ServiceConfig& config)>;
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    Service(
        std::string configPath, LogfmtLogger& log, Apply apply,
        Clock clock = [] { return std::chrono::system_clock::now(); });

    // The first reading; false (with the problems logged) when the file is bad and nothing may start.
    [[nodiscard]] bool start();
    // Reads the file again; what was wrong with it, one problem a line, or nothing when the new set runs.
    std::string reload(std::string_view trigger);

    // The targets now running, after the last good reading.
    [[nodiscard]] std::size_t targetCount() const;
    // ostrevod_config_last_reload_successful and its timestamp, in the exposition format.
    [[nodiscard]] std::string exposition() const;

private:
    std::string readAndApply(std::string_view trigger);

    const std::string configPath_;
    LogfmtLogger& log_;
    const Apply apply_;
    const Clock clock_;
    mutable std::mutex mutex_;
    std::size_t targets_ = 0;
    bool lastSuccessful_ = false;
    std::chrono::system_clock::time_point lastSuccess_{};
};
