#include "service/LogfmtLogger.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <ctime>

LogfmtLogger::LogfmtLogger(int fd, LogSeverity threshold, Clock clock)
    : fd_(fd), clock_(std::move(clock)), threshold_(threshold) {}

void LogfmtLogger::setThreshold(LogSeverity threshold) {
    const std::lock_guard lock(mutex_);
    threshold_ = threshold;
}

bool LogfmtLogger::enabled(LogSeverity severity) const {
    const std::lock_guard lock(mutex_);
    return severity >= threshold_;
}

void LogfmtLogger::log(LogSeverity severity, std::string_view message, std::initializer_list<LogField> fields) {
    log(severity, message, std::span<const LogField>(fields.begin(), fields.size()));
}

void LogfmtLogger::log(LogSeverity severity, std::string_view message, std::span<const LogField> fields) {
    if (!enabled(severity)) {
        return;
    }
    const std::string line = format(clock_(), severity, message, fields);
    const std::lock_guard lock(mutex_);
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return; // nowhere to say it: a closed or full stderr must not stop the service
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string LogfmtLogger::timestamp(std::chrono::system_clock::time_point at) {
    const auto ms = std::chrono::floor<std::chrono::milliseconds>(at.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    std::array<char, 40> text{};
    const std::size_t n = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S", &utc);
    const auto fraction = static_cast<int>(ms - static_cast<long long>(seconds) * 1000);
    std::array<char, 8> millis{};
    std::snprintf(millis.data(), millis.size(), ".%03dZ", fraction);
    return std::string(text.data(), n) + millis.data();
}

std::string LogfmtLogger::format(std::chrono::system_clock::time_point at, LogSeverity severity,
                                 std::string_view message, std::initializer_list<LogField> fields) {
    return format(at, severity, message, std::span<const LogField>(fields.begin(), fields.size()));
}

std::string LogfmtLogger::format(std::chrono::system_clock::time_point at, LogSeverity severity,
                                 std::string_view message, std::span<const LogField> fields) {
    std::string line = "ts=" + timestamp(at) + " level=" + std::string(logSeverityName(severity)) + " msg=";
    appendValue(line, message);
    for (const LogField& field : fields) {
        line += ' ';
        // Keys come from the program, but a stray blank or '=' in one would break every reader of the line.
        for (const char c : field.key) {
            const bool plain = c > ' ' && c != '=' && c != '"' && static_cast<unsigned char>(c) < 0x7F;
            line += plain ? c : '_';
        }
        line += '=';
        appendValue(line, field.value);
    }
    line += '\n';
    return line;
}

void LogfmtLogger::appendValue(std::string& out, std::string_view value) {
    bool quote = value.empty();
    for (const char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= ' ' || c == '=' || c == '"' || c == '\\' || u >= 0x7F) {
            quote = true;
            break;
        }
    }
    if (!quote) {
        out += value;
        return;
    }
    out += '"';
    std::size_t i = 0;
    while (i < value.size()) {
        const auto u = static_cast<unsigned char>(value[i]);
        if (u < 0x80) {
            switch (u) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (u < 0x20 || u == 0x7F) {
                    std::array<char, 8> escape{};
                    std::snprintf(escape.data(), escape.size(), "\\u%04x", u);
                    out += escape.data();
                } else {
                    out += static_cast<char>(u);
                }
            }
            ++i;
            continue;
        }
        // A multi-byte sequence is copied only when it is whole and shortest-form UTF-8.
        const std::size_t length = (u & 0xE0) == 0xC0 ? 2 : (u & 0xF0) == 0xE0 ? 3 : (u & 0xF8) == 0xF0 ? 4 : 0;
        bool valid = length != 0 && i + length <= value.size();
        std::uint32_t point = length == 2 ? (u & 0x1F) : length == 3 ? (u & 0x0F) : (u & 0x07);
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(value[i + k]);
            valid = (next & 0xC0) == 0x80;
            point = (point << 6) | (next & 0x3F);
        }
        constexpr std::array<std::uint32_t, 5> kShortest = {0, 0, 0x80, 0x800, 0x10000};
        valid = valid && point >= kShortest[length] && point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF);
        if (valid) {
            out.append(value.substr(i, length));
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    out += '"';
}
