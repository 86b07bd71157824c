#include "service/ServiceCommandLine.h"

#include <cstdlib>
#include <set>
#include <string_view>

namespace ServiceCommandLine {

namespace {

struct Flag {
    std::string_view name;
    std::string_view valueName; // empty: a boolean flag
    std::string_view help;
};

constexpr Flag kFlags[] = {
    {"config.file", "PATH", "the targets and their options (default /etc/ostrevo/ostrevod.yml)"},
    {"config.check", "", "read the config file, say what is wrong with it and exit: 0 when it is good, else 1"},
    {"web.listen-address", "ADDR:PORT", "where metrics are served; repeat for several (default :9464, every address)"},
    {"web.config.file", "PATH", "TLS and basic authentication, in the exporter toolkit's web config format"},
    {"history.path", "PATH", "the history ledger (default $STATE_DIRECTORY/history.sqlite); empty keeps none"},
    {"log.level", "LEVEL", "debug, info, warn or error (default info)"},
    {"help", "", "show this help and exit"},
    {"version", "", "show the version and exit"},
};

const Flag* findFlag(std::string_view name) {
    for (const Flag& flag : kFlags) {
        if (flag.name == name) {
            return &flag;
        }
    }
    return nullptr;
}

ServiceOptions failed(std::string error) {
    ServiceOptions options;
    options.action = ServiceOptions::Action::Fail;
    options.error = std::move(error);
    return options;
}

} // namespace

Environment processEnvironment() {
    return [](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        return value == nullptr ? std::nullopt : std::optional<std::string>(value);
    };
}

std::string defaultHistoryPath(const Environment& environment) {
    // systemd lists several folders separated by colons when a unit asks for several; ours asks for one.
    if (const auto state = environment("STATE_DIRECTORY"); state && !state->empty()) {
        return state->substr(0, state->find(':')) + "/history.sqlite";
    }
    std::string data;
    if (const auto xdg = environment("XDG_DATA_HOME"); xdg && !xdg->empty() && xdg->front() == '/') {
        data = *xdg;
    } else if (const auto home = environment("HOME"); home && !home->empty()) {
        data = *home + "/.local/share";
    } else {
        return {};
    }
    // Not the desktop program's ledger: each ledger has one writer.
    return data + "/ostrevo/ostrevod/history.sqlite";
}

ListenAddressParse parseListen(const std::string& text) {
    // ":PORT" alone; "::1:9100" is an IPv6 address without its brackets, which the general reader explains.
    if (text.size() > 1 && text.front() == ':' && text.find(':', 1) == std::string::npos) {
        ListenAddressParse parsed = parseListenAddress("[::]" + text);
        if (!parsed.listen) {
            parsed.error = "\"" + text + "\": the port must be a number from 1 to 65535";
        }
        return parsed;
    }
    return parseListenAddress(text);
}

ServiceOptions parse(const std::vector<std::string>& arguments, const Environment& environment) {
    ServiceOptions options;
    bool historyGiven = false;
    std::set<std::string_view> given;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (!argument.starts_with("--")) {
            return failed("unexpected argument \"" + argument + "\"; every option is --name=value");
        }
        const std::string_view body = std::string_view(argument).substr(2);
        const auto equals = body.find('=');
        const std::string_view name = body.substr(0, equals);
        const Flag* flag = findFlag(name);
        if (flag == nullptr) {
            return failed("unknown option --" + std::string(name));
        }
        std::string value;
        if (flag->valueName.empty()) {
            if (equals != std::string_view::npos) {
                const std::string_view given = body.substr(equals + 1);
                if (given != "true" && given != "false") {
                    return failed("--" + std::string(name) + " takes no value but true or false");
                }
                if (given == "false") {
                    continue;
                }
            }
        } else if (equals != std::string_view::npos) {
            value = std::string(body.substr(equals + 1));
        } else if (i + 1 < arguments.size() && !arguments[i + 1].starts_with("--")) {
            value = arguments[++i];
        } else {
            return failed("--" + std::string(name) + " needs a value: --" + std::string(name) + "=" +
                          std::string(flag->valueName));
        }

        // One value each, as the exporters take them; only the listening addresses add up.
        if (!flag->valueName.empty() && name != "web.listen-address" && !given.insert(flag->name).second) {
            return failed("--" + std::string(name) + " is given twice");
        }

        if (name == "help") {
            options.action = ServiceOptions::Action::Help;
            return options;
        }
        if (name == "version") {
            options.action = ServiceOptions::Action::Version;
            return options;
        }
        if (name == "config.check") {
            options.action = ServiceOptions::Action::CheckConfig;
        } else if (name == "config.file") {
            if (value.empty()) {
                return failed("--config.file needs a path");
            }
            options.configFile = value;
        } else if (name == "web.listen-address") {
            const ListenAddressParse parsed = parseListen(value);
            if (!parsed.listen) {
                return failed("--web.listen-address: " + parsed.error);
            }
            options.listen.push_back(*parsed.listen);
        } else if (name == "web.config.file") {
            options.webConfigFile = value;
        } else if (name == "history.path") {
            historyGiven = true;
            options.historyPath = value;
        } else if (name == "log.level") {
            const auto level = logSeverityFromName(value);
            if (!level) {
                return failed("--log.level must be debug, info, warn or error, not \"" + value + "\"");
            }
            options.logLevel = *level;
        }
    }
    if (options.listen.empty()) {
        options.listen.push_back(*parseListen(":" + std::to_string(kDefaultPort)).listen);
    }
    if (!historyGiven) {
        options.historyPath = defaultHistoryPath(environment);
    }
    return options;
}

std::string usage() {
    std::string text = "Usage: ostrevod [OPTION]...\n"
                       "Watches the hosts of a config file with ICMP echo requests and serves their figures to "
                       "Prometheus.\n\n";
    for (const Flag& flag : kFlags) {
        std::string left = "  --" + std::string(flag.name);
        if (!flag.valueName.empty()) {
            left += "=" + std::string(flag.valueName);
        }
        left.resize(std::max<std::size_t>(left.size() + 2, 32), ' ');
        text += left + std::string(flag.help) + "\n";
    }
    text += "\nSIGHUP or POST /-/reload reads the config file again; targets that did not change keep running.\n"
            "See ostrevod(8).\n";
    return text;
}

} // namespace ServiceCommandLine

std::ostream& operator<<(std::ostream& os, const ServiceOptions& o) {
    os << "{action=" << static_cast<int>(o.action) << " config=" << o.configFile << " listen=[";
    for (const ListenAddress& l : o.listen) {
        os << l << ' ';
    }
    return os << "] web=" << o.webConfigFile << " history=" << o.historyPath << " log=" << logSeverityName(o.logLevel)
              << " error=" << o.error << '}';
}
