#pragma once

#include <chrono>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "service/LogLevel.h"

struct LogField {
    std::string_view key;
    std::string_view value;
};

// The service's log: one line per event in logfmt (`ts=... level=info msg="host down" host=gw address=...`), as
// the Prometheus exporters write theirs and journald keeps them. Each line goes out in one write, so lines from
// several threads never interleave.
class LogfmtLogger {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    explicit LogfmtLogger(
        int fd = 2, LogSeverity threshold = LogSeverity::Info,
        Clock clock = [] { return std::chrono::system_clock::now(); });

    void setThreshold(LogSeverity threshold);
    [[nodiscard]] bool enabled(LogSeverity severity) const;

    void log(LogSeverity severity, std::string_view message, std::initializer_list<LogField> fields = {});
    // Fields that only some events have (a target's name), gathered by the caller.
    void log(LogSeverity severity, std::string_view message, std::span<const LogField> fields);
    void debug(std::string_view message, std::initializer_list<LogField> fields = {}) {
        log(LogSeverity::Debug, message, fields);
    }
    void info(std::string_view message, std::initializer_list<LogField> fields = {}) {
        log(LogSeverity::Info, message, fields);
    }
    void warn(std::string_view message, std::initializer_list<LogField> fields = {}) {
        log(LogSeverity::Warn, message, fields);
    }
    void error(std::string_view message, std::initializer_list<LogField> fields = {}) {
        log(LogSeverity::Error, message, fields);
    }

    // The line of one event, newline included.
    [[nodiscard]] static std::string format(std::chrono::system_clock::time_point at, LogSeverity severity,
                                            std::string_view message, std::initializer_list<LogField> fields);
    [[nodiscard]] static std::string format(std::chrono::system_clock::time_point at, LogSeverity severity,
                                            std::string_view message, std::span<const LogField> fields);
    // A value as logfmt writes it: bare when it can be, else quoted with \" \\ \n \r \t and \u00XX escapes;
    // bytes that are not UTF-8 become U+FFFD, so a line is always valid text.
    static void appendValue(std::string& out, std::string_view value);
    // 2026-12-08T17:10:00.123Z
    [[nodiscard]] static std::string timestamp(std::chrono::system_clock::time_point at);

private:
    const int fd_;
    const Clock clock_;
    mutable std::mutex mutex_;
    LogSeverity threshold_;
};
