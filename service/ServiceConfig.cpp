#include "service/ServiceConfig.h"

#include <ostream>

void PrintTo(const TargetConfig& t, std::ostream* os) {
    *os << "{name=\"" << t.name << "\" host=\"" << t.host << "\" interval=" << t.intervalMs
        << "ms timeout=" << t.timeoutMs << "ms size=" << t.payloadBytes << " ttl=" << int{t.ttl}
        << " tos=" << int{t.tos} << " source=\"" << t.source << "\" family=" << static_cast<int>(t.family)
        << " labels={";
    for (const auto& [name, value] : t.labels) {
        *os << name << "=\"" << value << "\",";
    }
    *os << "} analysis={mode=" << static_cast<int>(t.analysis.mode) << " tries=" << int{t.analysis.tries}
        << " percent=" << int{t.analysis.goodBelowPercent} << '/' << int{t.analysis.badAbovePercent}
        << " time=" << t.analysis.goodBelowMs << '/' << t.analysis.badAboveMs << "} route_rounds=" << t.routeRounds
        << " path_watch={on=" << t.pathWatch.on << " interval=" << t.pathWatch.intervalMs
        << " rounds=" << t.pathWatch.rounds << "}}";
}

void PrintTo(const ServiceConfig& c, std::ostream* os) {
    *os << "{targets=[";
    for (const TargetConfig& t : c.targets) {
        PrintTo(t, os);
        *os << ' ';
    }
    *os << "] history=" << c.history.days << '/' << c.history.rawDays << " buckets=" << c.bucketBoundsMicros.size()
        << " resolve_interval=" << c.resolveIntervalMs << "ms}";
}
