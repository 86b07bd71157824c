#include "settings/SettingsStore.h"

#include <string>

#include "settings/StoredValues.h"
#include "settings/SettingsRules.h"

using namespace SettingsRules;

namespace {

std::string read(const char* name) {
    return readStoredValue(SettingsKey, name);
}

void write(const char* name, const std::string& text) {
    writeStoredValue(SettingsKey, name, text);
}

} // namespace

void loadSettings(Settings& s, const std::function<void()>& afterLogFileName) {
    s.resolveIp = parseBoolean(read("ResolveIP"));
    s.buffer = bufferFromText(read("Buffer"));
    s.interval = intervalFromText(read("Interval"));
    s.analysisMode = analysisModeFromText(read("AnalizeMode"));
    s.tries = triesFromText(read("Tries"));
    s.minPercent = percentFromText(read("MinPercent"), 5);
    s.maxPercent = percentFromText(read("MaxPercent"), 45);
    orderPercents(s);
    s.minTime = timeFromText(read("MinTime"), 100);
    s.maxTime = timeFromText(read("MaxTime"), 500);
    orderTimes(s);
    s.logLevel = logLevelFromText(read("LogLevel"));
    s.logAppend = parseBoolean(read("LogAppend"));
    s.logFileName = read("LogFileName");
    if (afterLogFileName)
        afterLogFileName();
    s.startSound = read("SndStart");
    s.stopSound = read("SndStop");
    s.appFileName = read("AppFileName");
    s.appMode = appModeFromText(read("AppMode"));
    s.appParams = read("AppParams");
    s.host = read("Host");
    s.recentList = read("RecentList");
}

void saveSettings(const Settings& s) {
    if (!s.host.empty())
        write("Host", s.host);
    if (!s.recentList.empty())
        write("RecentList", s.recentList);
    write("ResolveIP", writeBoolean(s.resolveIp));
    write("Buffer", writeNumber(static_cast<std::uint32_t>(s.buffer)));
    write("Interval", writeInterval(s.interval));
    write("AnalizeMode", writeNumber(static_cast<std::uint32_t>(s.analysisMode)));
    write("Tries", writeNumber(s.tries));
    write("MinPercent", writeNumber(s.minPercent));
    write("MaxPercent", writeNumber(s.maxPercent));
    write("MinTime", writeNumber(s.minTime));
    write("MaxTime", writeNumber(s.maxTime));
    write("LogLevel", writeNumber(static_cast<std::uint32_t>(s.logLevel)));
    write("LogAppend", writeBoolean(s.logAppend));
    write("LogFileName", s.logFileName);
    write("SndStart", s.startSound);
    write("SndStop", s.stopSound);
    write("AppFileName", s.appFileName);
    write("AppMode", writeNumber(static_cast<std::uint32_t>(s.appMode)));
    write("AppParams", s.appParams);
}
