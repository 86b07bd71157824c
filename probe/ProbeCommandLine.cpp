#include "probe/ProbeCommandLine.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include <arpa/inet.h>

#include "engine/EchoReply.h"

namespace {

using Error = std::optional<std::string>;

std::string quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

// Digits only: no sign, no blanks, no base prefix.
std::optional<std::uint64_t> wholeNumber(std::string_view text) {
    std::uint64_t value = 0;
    if (text.empty() || text.front() < '0' || text.front() > '9')
        return std::nullopt;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

Error setCount(ProbeOptions& o, std::string_view value) {
    const auto count = wholeNumber(value);
    if (!count || *count == 0)
        return "invalid count " + quoted(value) + ": a whole number of at least 1";
    o.count = *count;
    return std::nullopt;
}

// Seconds with an optional fraction ("0.2", ".25", "2."), as milliseconds within [least, most].
std::optional<std::int64_t> seconds(std::string_view value, std::int64_t leastMs, std::int64_t mostMs) {
    double number = 0;
    const bool digitFirst = !value.empty() && ((value.front() >= '0' && value.front() <= '9') || value.front() == '.');
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number, std::chars_format::fixed);
    if (!digitFirst || ec != std::errc() || end != value.data() + value.size() || !std::isfinite(number))
        return std::nullopt;
    const double ms = std::round(number * 1000);
    if (ms < static_cast<double>(leastMs) || ms > static_cast<double>(mostMs))
        return std::nullopt;
    return static_cast<std::int64_t>(ms);
}

constexpr std::int64_t kLongestMs = std::numeric_limits<std::int32_t>::max();

Error setInterval(ProbeOptions& o, std::string_view value) {
    const auto ms = seconds(value, ProbeCommandLine::kShortestIntervalMs, kLongestMs);
    if (!ms)
        return "invalid interval " + quoted(value) + ": seconds, at least 0.2";
    o.intervalMs = static_cast<std::int32_t>(*ms);
    return std::nullopt;
}

Error setTimeout(ProbeOptions& o, std::string_view value) {
    const auto ms = seconds(value, 1, kLongestMs);
    if (!ms)
        return "invalid timeout " + quoted(value) + ": seconds, at least 0.001";
    o.timeoutMs = static_cast<std::uint32_t>(*ms);
    return std::nullopt;
}

Error setDeadline(ProbeOptions& o, std::string_view value) {
    const auto ms = seconds(value, 1, kLongestMs);
    if (!ms)
        return "invalid deadline " + quoted(value) + ": seconds, at least 0.001";
    o.deadlineMs = *ms;
    return std::nullopt;
}

Error setTtl(ProbeOptions& o, std::string_view value) {
    const auto ttl = wholeNumber(value);
    if (!ttl || *ttl < 1 || *ttl > 255)
        return "invalid TTL " + quoted(value) + ": 1 to 255";
    o.ttl = static_cast<std::uint8_t>(*ttl);
    return std::nullopt;
}

// An interface name as the kernel allows one (at most 15 bytes, no slash, no blank) or an address; which of the
// two, and whether it exists, the echo channel finds out when it opens its socket.
Error setSource(ProbeOptions& o, std::string_view value) {
    constexpr std::size_t kLongestInterfaceName = 15;
    in6_addr address{};
    const std::string text(value);
    const std::string unzoned = text.substr(0, text.find('%')); // a link-local address names its interface
    const bool isAddress = inet_pton(AF_INET, text.c_str(), &address) == 1 ||
                           (inet_pton(AF_INET6, unzoned.c_str(), &address) == 1 && !text.ends_with('%'));
    const bool isName = !value.empty() && value.size() <= kLongestInterfaceName && value != "." && value != ".." &&
                        std::none_of(value.begin(), value.end(), [](char c) {
                            return c == '/' || c == ' ' || c == '\t' || c == '\n' || c == '\0';
                        });
    if (!isAddress && !isName)
        return "invalid source " + quoted(value) + ": an interface name or an address";
    o.source = text;
    return std::nullopt;
}

template <bool ProbeOptions::*flag> Error setFlag(ProbeOptions& o, std::string_view) {
    o.*flag = true;
    return std::nullopt;
}

Error setSize(ProbeOptions& o, std::string_view value) {
    const auto size = wholeNumber(value);
    if (!size || *size > kMaxEchoPayload)
        return "invalid size " + quoted(value) + ": 0 to " + std::to_string(kMaxEchoPayload) + " bytes";
    o.payloadBytes = static_cast<std::int32_t>(*size);
    return std::nullopt;
}

// The metrics library reads the address once the arguments are parsed; here it only has to be there.
Error setMetrics(ProbeOptions& o, std::string_view value) {
    if (value.empty())
        return std::string("--metrics needs ADDRESS:PORT or PORT");
    o.metricsListen = value;
    return std::nullopt;
}

Error setFamily(ProbeOptions& o, IpAddress::Family family) {
    if (o.family != IpAddress::Family::None && o.family != family)
        return std::string("options '-4' and '-6' exclude each other");
    o.family = family;
    return std::nullopt;
}

const std::vector<ProbeCommandLine::Option> kOptions = {
    {'c', "count", "COUNT", "stop after COUNT probes (default: until interrupted)", setCount},
    {'i', "interval", "SECONDS", "SECONDS between sends, at least 0.2 (default: 1)", setInterval},
    {'s', "size", "BYTES", "echo payload size, 0 to 65507 (default: 32)", setSize},
    {'W', "timeout", "SECONDS", "wait SECONDS for each reply (default: 2)", setTimeout},
    {'t', "ttl", "TTL", "time to live (IPv6: hop limit) of the requests, 1 to 255 (default: 255)", setTtl},
    {'w', "deadline", "SECONDS", "stop SECONDS after the start, whatever the count", setDeadline},
    {'I', "interface", "INTERFACE|ADDRESS", "send from this interface or local address", setSource},
    {'q', "quiet", {}, "print only the first line and the final statistics", setFlag<&ProbeOptions::quiet>},
    {'D',
     "timestamp",
     {},
     "print the Unix time, as [SECONDS.MICROSECONDS], before each probe's line",
     setFlag<&ProbeOptions::timestamps>},
    {'O',
     "report-missing",
     {},
     "print a line for each request that times out (default: the statistics count it)",
     setFlag<&ProbeOptions::reportMissing>},
    {'n',
     "numeric",
     {},
     "never look up names of addresses (nor does the probe without it)",
     setFlag<&ProbeOptions::numeric>},
    {'4', {}, {}, "IPv4 only", [](ProbeOptions& o, std::string_view) { return setFamily(o, IpAddress::Family::V4); }},
    {'6', {}, {}, "IPv6 only", [](ProbeOptions& o, std::string_view) { return setFamily(o, IpAddress::Family::V6); }},
    {'\0', "metrics", "ADDRESS:PORT",
     "serve Prometheus metrics at http://ADDRESS:PORT/metrics (PORT alone: on 127.0.0.1)", setMetrics},
    {'\0',
     "route",
     {},
     "trace the route: COUNT rounds (10 by default), then the hops and where loss begins",
     [](ProbeOptions& o, std::string_view) -> Error {
         o.route = true;
         return std::nullopt;
     }},
    {'\0',
     "json",
     {},
     "with --route: print the result as one JSON object",
     [](ProbeOptions& o, std::string_view) -> Error {
         o.json = true;
         return std::nullopt;
     }},
    {'h',
     "help",
     {},
     "print this help and exit",
     [](ProbeOptions& o, std::string_view) -> Error {
         o.action = ProbeOptions::Action::Help;
         return std::nullopt;
     },
     true},
    {'V',
     "version",
     {},
     "print the version and exit",
     [](ProbeOptions& o, std::string_view) -> Error {
         o.action = ProbeOptions::Action::Version;
         return std::nullopt;
     },
     true},
};

const ProbeCommandLine::Option* findShort(char name) {
    for (const auto& option : kOptions)
        if (option.shortName != '\0' && option.shortName == name)
            return &option;
    return nullptr;
}

const ProbeCommandLine::Option* findLong(std::string_view name) {
    for (const auto& option : kOptions)
        if (!option.longName.empty() && option.longName == name)
            return &option;
    return nullptr;
}

ProbeOptions failed(std::string error) {
    ProbeOptions result;
    result.action = ProbeOptions::Action::Fail;
    result.error = std::move(error);
    return result;
}

} // namespace

std::ostream& operator<<(std::ostream& os, const ProbeOptions& o) {
    static constexpr const char* kActions[] = {"Probe", "Help", "Version", "Fail"};
    return os << "{" << kActions[static_cast<int>(o.action)] << " host=" << quoted(o.host) << " count=" << o.count
              << " interval=" << o.intervalMs << "ms size=" << o.payloadBytes << (o.quiet ? " quiet" : "")
              << (o.family == IpAddress::Family::V4   ? " -4"
                  : o.family == IpAddress::Family::V6 ? " -6"
                                                      : "")
              << " timeout=" << o.timeoutMs << "ms ttl=" << unsigned{o.ttl}
              << (o.deadlineMs != 0 ? " deadline=" + std::to_string(o.deadlineMs) + "ms" : "")
              << (o.source.empty() ? "" : " source=" + quoted(o.source)) << (o.timestamps ? " timestamps" : "")
              << (o.reportMissing ? " report-missing" : "") << (o.numeric ? " numeric" : "")
              << (o.metricsListen.empty() ? "" : " metrics=" + quoted(o.metricsListen)) << (o.route ? " route" : "")
              << (o.json ? " json" : "")
              << (o.error.empty() ? "" : " error=" + quoted(o.error)) << "}";
}

namespace ProbeCommandLine {

const std::vector<Option>& options() {
    return kOptions;
}

ProbeOptions parse(const std::vector<std::string>& arguments) {
    ProbeOptions result;
    std::vector<std::string_view> operands;

    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view arg = arguments[i];
        if (optionsEnded || arg.size() < 2 || arg.front() != '-') {
            operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg.starts_with("--")) {
            const std::size_t equals = arg.find('=');
            const std::string_view name = arg.substr(2, equals == std::string_view::npos ? arg.npos : equals - 2);
            const Option* option = findLong(name);
            if (option == nullptr)
                return failed("unknown option " + quoted(arg.substr(0, equals)));
            std::string_view value;
            if (option->valueName.empty()) {
                if (equals != std::string_view::npos)
                    return failed("option " + quoted(arg.substr(0, equals)) + " takes no value");
            } else if (equals != std::string_view::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < arguments.size()) {
                value = arguments[++i];
            } else {
                return failed("option " + quoted(arg) + " needs a value (" + std::string(option->valueName) + ")");
            }
            if (auto error = option->apply(result, value))
                return failed(std::move(*error));
            if (option->endsParsing)
                return result;
            continue;
        }
        // A cluster of short options; one that takes a value takes the rest of the cluster or the next argument.
        for (std::size_t at = 1; at < arg.size(); ++at) {
            const Option* option = findShort(arg[at]);
            if (option == nullptr)
                return failed("unknown option " + quoted("-" + std::string(1, arg[at])));
            std::string_view value;
            if (!option->valueName.empty()) {
                if (at + 1 < arg.size())
                    value = arg.substr(at + 1);
                else if (i + 1 < arguments.size())
                    value = arguments[++i];
                else
                    return failed("option " + quoted("-" + std::string(1, arg[at])) + " needs a value (" +
                                  std::string(option->valueName) + ")");
                at = arg.size();
            }
            if (auto error = option->apply(result, value))
                return failed(std::move(*error));
            if (option->endsParsing)
                return result;
        }
    }

    if (result.json && !result.route)
        return failed("option '--json' goes with '--route'");
    if (result.route && !result.metricsListen.empty())
        return failed("options '--route' and '--metrics' exclude each other");
    if (operands.empty())
        return failed("no HOST given");
    if (operands.size() > 2)
        return failed("unexpected argument " + quoted(operands[2]));
    result.host = operands[0];
    if (operands.size() == 2) {
        if (result.count != 0)
            return failed("COUNT is given both as an option and after HOST");
        if (auto error = setCount(result, operands[1]))
            return failed(std::move(*error));
    }
    return result;
}

std::string synopsis() {
    // The flags together as ping shows them ("[-qD46]"), then each option with a value; long lines wrap
    // under the first option.
    const std::string lead = "Usage: ostrevo-probe ";
    constexpr std::size_t kWidth = 100;
    std::string flags;
    std::vector<std::string> parts;
    for (const Option& option : kOptions) {
        if (option.endsParsing)
            continue;
        if (option.valueName.empty() && option.shortName != '\0') {
            flags += option.shortName;
            continue;
        }
        std::string part = "[";
        part += option.shortName != '\0' ? std::string("-") + option.shortName : "--" + std::string(option.longName);
        if (!option.valueName.empty())
            part += " " + std::string(option.valueName);
        parts.push_back(part + "]");
    }
    if (!flags.empty())
        parts.insert(parts.begin(), "[-" + flags + "]");
    parts.emplace_back("HOST [COUNT]");
    std::string text = lead;
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i != 0) {
            if (text.size() - lineStart + 1 + parts[i].size() > kWidth) {
                text += "\n";
                lineStart = text.size();
                text += std::string(lead.size(), ' ');
            } else {
                text += " ";
            }
        }
        text += parts[i];
    }
    return text + "\n";
}

namespace {

std::string forms(const Option& option) {
    std::string text;
    if (option.shortName != '\0')
        text = std::string("-") + option.shortName;
    if (!option.longName.empty())
        text += (text.empty() ? "--" : ", --") + std::string(option.longName);
    if (!option.valueName.empty())
        text += " " + std::string(option.valueName);
    return text;
}

} // namespace

std::string usage() {
    std::size_t width = 0;
    for (const Option& option : kOptions)
        width = std::max(width, forms(option).size());
    std::string list;
    for (const Option& option : kOptions) {
        std::string text = forms(option);
        text.resize(width + 2, ' ');
        list += "  " + text + std::string(option.help) + "\n";
    }
    return synopsis() +
           "Sends ICMP echo requests to HOST (a name, an IPv4 or an IPv6 address) and prints each reply with its\n"
           "sequence number and the running statistics; a request that timed out is only counted there unless -O\n"
           "is given. Ctrl+C ends the run with the final statistics. COUNT after HOST is the same as -c COUNT.\n\n" +
           list +
           "\nExit status: 0 when at least one reply came back, 1 when none did, 2 on a usage error, an unknown "
           "host,\nno ICMP socket or a metrics address that cannot be served.\n"
           "With --route: COUNT rounds, one every SECONDS, each with one request per hop in flight at once; exit "
           "status 0\nwhen the destination answered, 1 when it did not.\n";
}

} // namespace ProbeCommandLine
