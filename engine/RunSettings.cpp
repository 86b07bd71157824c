#include "engine/RunSettings.h"

#include <algorithm>
#include <ostream>

RunSettings RunSettings::from(const Settings& s, const IpAddress& targetAddress) {
    RunSettings run;
    run.targetAddress = targetAddress;
    run.payloadSize = static_cast<std::uint16_t>(std::clamp(s.buffer, 0, 0xFFFF));
    run.intervalMs = s.interval;
    run.analysisMode = s.analysisMode;
    run.tries = s.tries;
    run.minPercent = s.minPercent;
    run.maxPercent = s.maxPercent;
    run.minTime = s.minTime;
    run.maxTime = s.maxTime;
    run.logLevel = s.logLevel;
    run.alerts = {s.host, s.startSound, s.stopSound, s.appFileName, s.appMode, s.appParams, s.notify};
    return run;
}

void PrintTo(const RunSettings& run, std::ostream* os) {
    *os << "{target " << run.targetAddress.text() << ", payload " << run.payloadSize << ", interval " << run.intervalMs
        << " ms, mode " << static_cast<unsigned>(run.analysisMode) << ", tries " << unsigned{run.tries} << ", percent "
        << unsigned{run.minPercent} << ".." << unsigned{run.maxPercent} << ", time " << run.minTime << ".."
        << run.maxTime << ", log level " << static_cast<unsigned>(run.logLevel) << ", host \"" << run.alerts.host
        << "\", sounds \"" << run.alerts.startSound << "\" \"" << run.alerts.stopSound << "\", app \""
        << run.alerts.appFileName << "\" mode " << run.alerts.appMode << " params \"" << run.alerts.appParams << "\""
        << (run.alerts.notify ? " notify" : "") << ", ttl " << unsigned{run.ttl} << ", timeout " << run.timeoutMs
        << " ms" << (run.source.empty() ? "" : ", from " + run.source) << ", tos " << unsigned{run.tos}
        << ", first after " << run.startDelayMs << " ms"
        << (run.pacing == RunSettings::Pacing::FromSend ? ", paced from each send" : "");
    if (run.count != 0)
        *os << ", count " << run.count;
    *os << "}";
}
