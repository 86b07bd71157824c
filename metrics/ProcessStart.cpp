#include "metrics/ProcessStart.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>

#include <unistd.h>

namespace {

std::optional<std::uint64_t> number(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

std::string_view nextField(std::string_view& rest) {
    const auto start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        rest = {};
        return {};
    }
    rest.remove_prefix(start);
    const auto end = std::min(rest.find_first_of(" \n"), rest.size());
    const std::string_view field = rest.substr(0, end);
    rest.remove_prefix(end);
    return field;
}

std::string readAll(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

std::optional<std::uint64_t> processStartMicros(std::string_view selfStat, std::string_view stat, long ticksPerSecond) {
    if (ticksPerSecond <= 0)
        return std::nullopt;
    // The command name in parentheses may hold spaces and parentheses itself: the fields follow the last ')'.
    const auto close = selfStat.rfind(')');
    if (close == std::string_view::npos)
        return std::nullopt;
    std::string_view rest = selfStat.substr(close + 1);
    std::string_view field;
    for (int index = 3; index <= 22; ++index) // the state is field 3, the start field 22
        field = nextField(rest);
    const std::optional<std::uint64_t> ticks = number(field);

    std::optional<std::uint64_t> bootSeconds;
    for (std::size_t at = 0; at < stat.size();) {
        const auto end = std::min(stat.find('\n', at), stat.size());
        std::string_view line = stat.substr(at, end - at);
        at = end + 1;
        if (line.starts_with("btime ")) {
            line.remove_prefix(6);
            bootSeconds = number(nextField(line));
            break;
        }
    }
    if (!ticks || !bootSeconds)
        return std::nullopt;
    const auto hz = static_cast<std::uint64_t>(ticksPerSecond);
    return *bootSeconds * 1'000'000 + *ticks / hz * 1'000'000 + *ticks % hz * 1'000'000 / hz;
}

std::uint64_t processStartMicros() {
    if (const auto fromProc =
            processStartMicros(readAll("/proc/self/stat"), readAll("/proc/stat"), ::sysconf(_SC_CLK_TCK)))
        return *fromProc;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}
