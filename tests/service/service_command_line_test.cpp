// ostrevod's flags, its default history path and its logfmt lines.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "service/LogfmtLogger.h"
#include "service/ServiceCommandLine.h"

namespace {

ServiceCommandLine::Environment environment(std::map<std::string, std::string> values) {
    return [values](const std::string& name) -> std::optional<std::string> {
        const auto it = values.find(name);
        return it == values.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
}

ServiceOptions parse(const std::vector<std::string>& arguments) {
    return ServiceCommandLine::parse(arguments, environment({{"STATE_DIRECTORY", "/var/lib/ostrevo"}}));
}

TEST(ServiceCommandLine, DefaultsAreTheExportersOnes) {
    const ServiceOptions o = parse({});
    EXPECT_EQ(o.action, ServiceOptions::Action::Run);
    EXPECT_EQ(o.configFile, "/etc/ostrevo/ostrevod.yml");
    ASSERT_EQ(o.listen.size(), 1u);
    EXPECT_EQ(o.listen[0], (ListenAddress{"::", 9464, true})); // every address of both families
    EXPECT_EQ(o.webConfigFile, "");
    EXPECT_EQ(o.historyPath, "/var/lib/ostrevo/history.sqlite");
    EXPECT_EQ(o.logLevel, LogSeverity::Info);
}

TEST(ServiceCommandLine, ValuesComeAfterAnEqualsSignOrAsTheNextArgument) {
    const ServiceOptions o =
        parse({"--config.file=/tmp/a.yml", "--web.listen-address", "127.0.0.1:9100", "--web.listen-address=[::1]:9101",
               "--web.config.file=/etc/w.yml", "--history.path=", "--log.level=debug", "--config.check"});
    EXPECT_EQ(o.action, ServiceOptions::Action::CheckConfig);
    EXPECT_EQ(o.configFile, "/tmp/a.yml");
    EXPECT_EQ(o.listen, (std::vector<ListenAddress>{{"127.0.0.1", 9100, false}, {"::1", 9101, true}}));
    EXPECT_EQ(o.webConfigFile, "/etc/w.yml");
    EXPECT_EQ(o.historyPath, ""); // given empty: no history at all
    EXPECT_EQ(o.logLevel, LogSeverity::Debug);
    EXPECT_EQ(parse({"--config.check=false"}).action, ServiceOptions::Action::Run);
    EXPECT_EQ(parse({"--log.level=info", "--help", "--bogus"}).action, ServiceOptions::Action::Help);
    EXPECT_EQ(parse({"--version"}).action, ServiceOptions::Action::Version);
}

TEST(ServiceCommandLine, MistakesAreRefusedWithOneLine) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--config-file=x"}, "unknown option --config-file"},
        {{"-c", "x"}, "unexpected argument \"-c\""},
        {{"config.yml"}, "unexpected argument"},
        {{"--config.file"}, "--config.file needs a value: --config.file=PATH"},
        {{"--config.file="}, "needs a path"},
        {{"--web.listen-address=:0"}, "from 1 to 65535"},
        {{"--web.listen-address=example.org:80"}, "not an IPv4 address"},
        {{"--web.listen-address=::1:9100"}, "write an IPv6 address in brackets, as in [::1]:9100"},
        {{"--log.level=verbose"}, "debug, info, warn or error"},
        {{"--config.check=yes"}, "takes no value but true or false"},
        // A unit's drop-in that names a second file must not quietly win over the first.
        {{"--config.file=/etc/a.yml", "--config.file=/etc/b.yml"}, "--config.file is given twice"},
        {{"--web.config.file=w.yml", "--web.config.file", "v.yml"}, "--web.config.file is given twice"},
        {{"--log.level=warn", "--log.level=debug"}, "--log.level is given twice"},
        // The next option is no value: "--config.file --config.check" would read a file named "--config.check".
        {{"--config.file", "--config.check"}, "--config.file needs a value: --config.file=PATH"},
        {{"--web.listen-address", "--log.level=debug"}, "--web.listen-address needs a value"},
    };
    for (const auto& [arguments, says] : cases) {
        const ServiceOptions o = parse(arguments);
        EXPECT_EQ(o.action, ServiceOptions::Action::Fail) << arguments.front();
        EXPECT_NE(o.error.find(says), std::string::npos) << o.error;
        EXPECT_EQ(o.error.find('\n'), std::string::npos);
    }
}

TEST(ServiceCommandLine, HistoryGoesToTheStateFolderElseTheUsersDataFolder) {
    using ServiceCommandLine::defaultHistoryPath;
    EXPECT_EQ(
        defaultHistoryPath(environment({{"STATE_DIRECTORY", "/var/lib/ostrevo:/var/lib/other"}, {"HOME", "/root"}})),
        "/var/lib/ostrevo/history.sqlite");
    EXPECT_EQ(defaultHistoryPath(environment({{"XDG_DATA_HOME", "/d"}, {"HOME", "/h"}})),
              "/d/ostrevo/ostrevod/history.sqlite");
    // A relative XDG_DATA_HOME is to be ignored, as the XDG rules say.
    EXPECT_EQ(defaultHistoryPath(environment({{"XDG_DATA_HOME", "d"}, {"HOME", "/h"}})),
              "/h/.local/share/ostrevo/ostrevod/history.sqlite");
    EXPECT_EQ(defaultHistoryPath(environment({{"STATE_DIRECTORY", ""}})), "");
}

TEST(LogfmtLogger, ValuesAreBareOrQuotedSoEveryReaderSplitsTheLineAlike) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"gateway.lan", "gateway.lan"},
        {"2001:db8::1", "2001:db8::1"},
        {"host down", "\"host down\""},
        {"", "\"\""},
        {"a=b", "\"a=b\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"C:\\x", "\"C:\\\\x\""},
        {"two\nlines\r\t", "\"two\\nlines\\r\\t\""},
        {std::string("nul\0bell\x07", 9), "\"nul\\u0000bell\\u0007\""},
        {"Zürich", "\"Zürich\""},
        {"bad\xff\xc3", "\"bad\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xe0\x80\xaf", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""}, // an overlong slash
    };
    for (const auto& [value, written] : cases) {
        std::string out;
        LogfmtLogger::appendValue(out, value);
        EXPECT_EQ(out, written);
    }
}

TEST(LogfmtLogger, OneLinePerEventAtOrAboveTheLevel) {
    const auto at = std::chrono::system_clock::time_point(std::chrono::milliseconds(1'765'213'805'042));
    EXPECT_EQ(LogfmtLogger::format(at, LogSeverity::Warn, "host down", {{"host", "gw"}, {"bad key", "x y"}}),
              "ts=2025-12-08T17:10:05.042Z level=warn msg=\"host down\" host=gw bad_key=\"x y\"\n");

    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    {
        LogfmtLogger log(fds[1], LogSeverity::Info, [at] { return at; });
        log.debug("hidden");
        log.info("shown", {{"n", "1"}});
        log.setThreshold(LogSeverity::Error);
        log.warn("hidden too");
        log.error("last");
    }
    char buffer[512] = {};
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0))),
              "ts=2025-12-08T17:10:05.042Z level=info msg=shown n=1\n"
              "ts=2025-12-08T17:10:05.042Z level=error msg=last\n");
}

} // namespace
