#include "probe/ProbeCommandLine.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

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

Error setInterval(ProbeOptions& o, std::string_view value) {
    constexpr double kLongest = std::numeric_limits<std::int32_t>::max() / 1000.0;
    double seconds = 0;
    const bool digitFirst = !value.empty() && ((value.front() >= '0' && value.front() <= '9') || value.front() == '.');
    const auto [end, ec] =
        std::from_chars(value.data(), value.data() + value.size(), seconds, std::chars_format::fixed);
    if (!digitFirst || ec != std::errc() || end != value.data() + value.size() || !std::isfinite(seconds) ||
        seconds < ProbeCommandLine::kShortestIntervalMs / 1000.0 || seconds > kLongest)
        return "invalid interval " + quoted(value) + ": seconds, at least 0.2";
    o.intervalMs = static_cast<std::int32_t>(std::lround(seconds * 1000));
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
    {'i', "interval", "SECONDS", "pause after each probe, at least 0.2 (default: 1)", setInterval},
    {'s', "size", "BYTES", "echo payload size, 0 to 65507 (default: 32)", setSize},
    {'q',
     "quiet",
     {},
     "print only the final statistics",
     [](ProbeOptions& o, std::string_view) -> Error {
         o.quiet = true;
         return std::nullopt;
     }},
    {'4', {}, {}, "IPv4 only", [](ProbeOptions& o, std::string_view) { return setFamily(o, IpAddress::Family::V4); }},
    {'6', {}, {}, "IPv6 only", [](ProbeOptions& o, std::string_view) { return setFamily(o, IpAddress::Family::V6); }},
    {'\0', "metrics", "ADDRESS:PORT",
     "serve Prometheus metrics at http://ADDRESS:PORT/metrics (PORT alone: on 127.0.0.1)", setMetrics},
    {'\0',
     "route",
     {},
     "trace the route to HOST: COUNT rounds (default: 10), then the hop table and where loss begins",
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
              << (o.metricsListen.empty() ? "" : " metrics=" + quoted(o.metricsListen)) << (o.route ? " route" : "")
              << (o.json ? " json" : "") << (o.error.empty() ? "" : " error=" + quoted(o.error)) << "}";
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
    std::string text = "Usage: ostrevo-probe";
    for (const Option& option : kOptions) {
        if (option.endsParsing)
            continue;
        text += " [";
        text += option.shortName != '\0' ? std::string("-") + option.shortName : "--" + std::string(option.longName);
        if (!option.valueName.empty())
            text += " " + std::string(option.valueName);
        text += "]";
    }
    return text + " HOST [COUNT]\n";
}

std::string usage() {
    std::string list;
    for (const Option& option : kOptions) {
        std::string forms;
        if (option.shortName != '\0')
            forms = std::string("-") + option.shortName;
        if (!option.longName.empty())
            forms += (forms.empty() ? "--" : ", --") + std::string(option.longName);
        if (!option.valueName.empty())
            forms += " " + std::string(option.valueName);
        forms.resize(std::max<std::size_t>(forms.size() + 2, 24), ' ');
        list += "  " + forms + std::string(option.help) + "\n";
    }
    return synopsis() +
           "Sends ICMP echo requests to HOST (a name, an IPv4 or an IPv6 address) and prints each reply with the "
           "running statistics;\nCtrl+C ends the run with the final statistics. COUNT after HOST is the same as "
           "-c COUNT.\n\n" +
           list +
           "\nExit status: 0 when at least one reply came back, 1 when none did, 2 on a usage error, an unknown "
           "host,\nno ICMP socket or a metrics address that cannot be served.\n"
           "With --route: COUNT rounds, one every SECONDS, each with one request per hop in flight at once; exit "
           "status 0\nwhen the destination answered, 1 when it did not.\n";
}

} // namespace ProbeCommandLine
