#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "settings/SettingsFields.h"

namespace {

// Once the program watches several hosts, each of them has its own value of a host field; the program has one
// value of the others.
TEST(SettingsFields, EveryFieldBelongsToTheProgramOrToAWatchedHost) {
    using enum SettingsScope;
    const std::map<std::string_view, SettingsScope> expected = {
        {"Host", Host},
        {"Buffer", Host},
        {"Interval", Host},
        {"AnalizeMode", Host},
        {"Tries", Host},
        {"MinPercent", Host},
        {"MaxPercent", Host},
        {"MinTime", Host},
        {"MaxTime", Host},
        {"ResolveIP", Host},
        {"SndStart", Host},
        {"SndStop", Host},
        {"AppFileName", Host},
        {"AppMode", Host},
        {"AppParams", Host},
        {"LogLevel", Host},
        {"LogAppend", Host},
        {"LogFileName", Host},
        {"RecentList", Program},
        {"HistoryDays", Program},
        {"Notify", Program},
        {"Autostart", Program},
        {"MetricsListen", Program},
        {"HistoryWindowSize", Program},
        {"HistorySpan", Program},
        {"HistoryOverlay", Program},
        {"HostsWindowSize", Program},
        {"HostsWindowColumns", Program},
        {"HostsWindowSort", Program},
        {"RouteWindowSize", Program},
        {"RouteRounds", Program},
        {"PathWatch", Host},
        {"PathInterval", Host},
        {"PathRounds", Host},
    };
    ASSERT_EQ(settingsFields().size(), expected.size());
    for (const SettingsField& field : settingsFields()) {
        SCOPED_TRACE(field.key);
        const auto it = expected.find(field.key);
        ASSERT_NE(it, expected.end()) << "a field without a decided scope";
        EXPECT_EQ(field.scope, it->second);
        EXPECT_EQ(&settingsField(field.id), &field) << "the id finds its own row";
    }
}

// A change names the fields it changed and no other, also where the stored texts would look alike.
TEST(SettingsFields, DifferingFieldsNameExactlyTheChangedOnes) {
    const struct {
        const char* what;
        std::function<void(Settings&)> edit;
        SettingIds expected;
    } cases[] = {
        {"nothing", [](Settings&) {}, {}},
        {"host", [](Settings& s) { s.host = "a"; }, {SettingId::Host}},
        {"interval within a second", [](Settings& s) { s.interval += 500; }, {SettingId::Interval}},
        {"largest time", [](Settings& s) { s.maxTime = 4000000000u; }, {SettingId::MaxTime}},
        {"log level and file",
         [](Settings& s) {
             s.logLevel = LogLevel::EveryRequest;
             s.logFileName = "x.log";
         },
         {SettingId::LogLevel, SettingId::LogFileName}},
        {"notify", [](Settings& s) { s.notify = !s.notify; }, {SettingId::Notify}},
        {"window size", [](Settings& s) { s.historyWindowSize = "1x1"; }, {SettingId::HistoryWindowSize}},
        {"hosts columns", [](Settings& s) { s.hostsWindowColumns = "90,80"; }, {SettingId::HostsWindowColumns}},
        {"route window size", [](Settings& s) { s.routeWindowSize = "1x1"; }, {SettingId::RouteWindowSize}},
        {"route rounds", [](Settings& s) { s.routeRounds = 0; }, {SettingId::RouteRounds}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Settings before;
        Settings after = before;
        c.edit(after);
        EXPECT_EQ(differingFields(before, after), c.expected);
        EXPECT_EQ(differingFields(after, before), c.expected);
    }
    EXPECT_TRUE(SettingIds::all().contains(SettingId::HistoryWindowSize));
    EXPECT_TRUE(SettingIds::all().contains(SettingId::RouteWindowSize));
    EXPECT_TRUE(SettingIds::all().contains(SettingId::ResolveIp));
}

} // namespace
