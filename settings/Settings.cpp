#include "settings/Settings.h"

#include <ostream>

bool Settings::operator==(const Settings& o) const {
    return Host == o.Host && RecentList == o.RecentList && ResolveIP == o.ResolveIP && Interval == o.Interval &&
           Buffer == o.Buffer && AnalizeMode == o.AnalizeMode && Tries == o.Tries && MinPercent == o.MinPercent &&
           MaxPercent == o.MaxPercent && MinTime == o.MinTime && MaxTime == o.MaxTime &&
           LogLevel.load() == o.LogLevel.load() && LogAppend == o.LogAppend && LogFileName == o.LogFileName &&
           SndStart == o.SndStart && SndStop == o.SndStop && AppFileName == o.AppFileName && AppMode == o.AppMode &&
           AppParams == o.AppParams;
}

void PrintTo(const Settings& s, std::ostream* os) {
    *os << "{Host=\"" << s.Host << "\" RecentList=\"" << s.RecentList << "\" ResolveIP=" << s.ResolveIP
        << " Interval=" << s.Interval << " Buffer=" << s.Buffer << " AnalizeMode=" << int(s.AnalizeMode)
        << " Tries=" << int(s.Tries) << " MinPercent=" << int(s.MinPercent) << " MaxPercent=" << int(s.MaxPercent)
        << " MinTime=" << s.MinTime << " MaxTime=" << s.MaxTime << " LogLevel=" << int(s.LogLevel.load())
        << " LogAppend=" << s.LogAppend << " LogFileName=\"" << s.LogFileName << "\" SndStart=\"" << s.SndStart
        << "\" SndStop=\"" << s.SndStop << "\" AppFileName=\"" << s.AppFileName << "\" AppMode=" << s.AppMode
        << " AppParams=\"" << s.AppParams << "\"}";
}
