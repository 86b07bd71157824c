#include "settings/Settings.h"

#include <ostream>

void PrintTo(const Settings& s, std::ostream* os) {
    *os << "{host=\"" << s.host << "\" recentList=\"" << s.recentList << "\" resolveIp=" << s.resolveIp
        << " interval=" << s.interval << " buffer=" << s.buffer << " analysisMode=" << int(s.analysisMode)
        << " tries=" << int(s.tries) << " minPercent=" << int(s.minPercent) << " maxPercent=" << int(s.maxPercent)
        << " minTime=" << s.minTime << " maxTime=" << s.maxTime << " logLevel=" << int(s.logLevel)
        << " logAppend=" << s.logAppend << " logFileName=\"" << s.logFileName << "\" startSound=\"" << s.startSound
        << "\" stopSound=\"" << s.stopSound << "\" appFileName=\"" << s.appFileName << "\" appMode=" << s.appMode
        << " appParams=\"" << s.appParams << "\" historyDays=" << s.historyDays << " metricsListen=\""
        << s.metricsListen << '"' << " notify=" << s.notify << " autostart=" << s.autostart << " historyWindowSize=\""
        << s.historyWindowSize << "\" historySpan=\"" << s.historySpan << "\" historyOverlay=\"" << s.historyOverlay
        << "\" hostsWindowSize=\"" << s.hostsWindowSize << "\" hostsWindowColumns=\"" << s.hostsWindowColumns
        << "\" hostsWindowSort=\"" << s.hostsWindowSort << "\" routeWindowSize=\"" << s.routeWindowSize
        << "\" routeRounds=" << s.routeRounds << " pathWatch=" << s.pathWatch << " pathInterval=" << s.pathInterval
        << " pathRounds=" << s.pathRounds << '}';
}

void PrintTo(AnalysisMode mode, std::ostream* os) {
    *os << "AnalysisMode(" << int(mode) << ")";
}

void PrintTo(LogLevel level, std::ostream* os) {
    *os << "LogLevel(" << int(level) << ")";
}
