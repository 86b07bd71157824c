#include "settings/SettingsStore.h"

#include <string>

#include "settings/CommonFn.h"
#include "settings/SettingsRules.h"

using namespace SettingsRules;

namespace {

std::string Read(const char* name) {
    return ReadRegString(SettingsKey, name);
}

void Write(const char* name, const std::string& text) {
    WriteRegString(SettingsKey, name, text);
}

} // namespace

void LoadSettings(Settings& s, const std::function<void()>& afterLogFileName) {
    s.ResolveIP = ParseBoolean(Read("ResolveIP"));
    s.Buffer = BufferFromText(Read("Buffer"));
    s.Interval = IntervalFromText(Read("Interval"));
    s.AnalizeMode = AnalizeModeFromText(Read("AnalizeMode"));
    s.Tries = TriesFromText(Read("Tries"));
    s.MinPercent = PercentFromText(Read("MinPercent"), 5);
    s.MaxPercent = PercentFromText(Read("MaxPercent"), 45);
    OrderPercents(s);
    s.MinTime = TimeFromText(Read("MinTime"), 100);
    s.MaxTime = TimeFromText(Read("MaxTime"), 500);
    OrderTimes(s);
    s.LogLevel = LogLevelFromText(Read("LogLevel"));
    s.LogAppend = ParseBoolean(Read("LogAppend"));
    s.LogFileName = Read("LogFileName");
    if (afterLogFileName)
        afterLogFileName();
    s.SndStart = Read("SndStart");
    s.SndStop = Read("SndStop");
    s.AppFileName = Read("AppFileName");
    s.AppMode = AppModeFromText(Read("AppMode"));
    s.AppParams = Read("AppParams");
    s.Host = Read("Host");
    s.RecentList = Read("RecentList");
}

void SaveSettings(const Settings& s) {
    if (!s.Host.empty())
        Write("Host", s.Host);
    if (!s.RecentList.empty())
        Write("RecentList", s.RecentList);
    Write("ResolveIP", WriteBoolean(s.ResolveIP));
    Write("Buffer", WriteNumber(static_cast<std::uint32_t>(s.Buffer)));
    Write("Interval", WriteInterval(s.Interval));
    Write("AnalizeMode", WriteNumber(s.AnalizeMode));
    Write("Tries", WriteNumber(s.Tries));
    Write("MinPercent", WriteNumber(s.MinPercent));
    Write("MaxPercent", WriteNumber(s.MaxPercent));
    Write("MinTime", WriteNumber(s.MinTime));
    Write("MaxTime", WriteNumber(s.MaxTime));
    Write("LogLevel", WriteNumber(s.LogLevel.load()));
    Write("LogAppend", WriteBoolean(s.LogAppend));
    Write("LogFileName", s.LogFileName);
    Write("SndStart", s.SndStart);
    Write("SndStop", s.SndStop);
    Write("AppFileName", s.AppFileName);
    Write("AppMode", WriteNumber(static_cast<std::uint32_t>(s.AppMode)));
    Write("AppParams", s.AppParams);
}
