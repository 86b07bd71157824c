#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// How much the service says; each level includes those above it.
enum class LogSeverity : std::uint8_t { Debug = 0, Info = 1, Warn = 2, Error = 3 };

[[nodiscard]] constexpr std::string_view logSeverityName(LogSeverity severity) {
    switch (severity) {
    case LogSeverity::Debug:
        return "debug";
    case LogSeverity::Info:
        return "info";
    case LogSeverity::Warn:
        return "warn";
    case LogSeverity::Error:
        return "error";
    }
    return "info";
}

[[nodiscard]] constexpr std::optional<LogSeverity> logSeverityFromName(std::string_view name) {
    for (const LogSeverity s : {LogSeverity::Debug, LogSeverity::Info, LogSeverity::Warn, LogSeverity::Error}) {
        if (logSeverityName(s) == name) {
            return s;
        }
    }
    return std::nullopt;
}
