#include "settings/Settings.h"

#include <ostream>

bool Settings::operator==(const Settings& o) const {
    return host == o.host && recentList == o.recentList && resolveIp == o.resolveIp && interval == o.interval &&
           buffer == o.buffer && analysisMode == o.analysisMode && tries == o.tries && minPercent == o.minPercent &&
           maxPercent == o.maxPercent && minTime == o.minTime && maxTime == o.maxTime &&
           logLevel.load() == o.logLevel.load() && logAppend == o.logAppend && logFileName == o.logFileName &&
           startSound == o.startSound && stopSound == o.stopSound && appFileName == o.appFileName && appMode == o.appMode &&
           appParams == o.appParams;
}

void PrintTo(const Settings& s, std::ostream* os) {
    *os << "{host=\"" << s.host << "\" recentList=\"" << s.recentList << "\" resolveIp=" << s.resolveIp
        << " interval=" << s.interval << " buffer=" << s.buffer << " analysisMode=" << int(s.analysisMode)
        << " tries=" << int(s.tries) << " minPercent=" << int(s.minPercent) << " maxPercent=" << int(s.maxPercent)
        << " minTime=" << s.minTime << " maxTime=" << s.maxTime << " logLevel=" << int(s.logLevel.load())
        << " logAppend=" << s.logAppend << " logFileName=\"" << s.logFileName << "\" startSound=\"" << s.startSound
        << "\" stopSound=\"" << s.stopSound << "\" appFileName=\"" << s.appFileName << "\" appMode=" << s.appMode
        << " appParams=\"" << s.appParams << "\"}";
}
