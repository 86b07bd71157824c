#include "history/RouteSnapshot.h"

std::string RouteSnapshot::lossAddress() const {
    if (!lossBeginsAt)
        return {};
    for (const RouteSnapshotHop& h : hops)
        if (h.hop == *lossBeginsAt)
            return h.addresses.empty() ? std::string() : h.addresses.front();
    return {};
}

std::ostream& operator<<(std::ostream& os, const RouteSnapshot& s) {
    os << "{route " << s.id << " of " << s.host << " " << s.address << " at " << s.takenMs << " ("
       << routeReasonText(s.reason) << "), " << s.rounds << " rounds, " << (s.reached ? "reached" : "not reached")
       << ", loss from ";
    if (s.lossBeginsAt)
        os << "hop " << *s.lossBeginsAt;
    else
        os << "nowhere";
    os << ", outage ";
    if (s.outageId)
        os << *s.outageId;
    else
        os << "none";
    for (const RouteSnapshotHop& h : s.hops) {
        os << " [" << h.hop << ":";
        for (const std::string& a : h.addresses)
            os << " " << a;
        os << " " << h.sent << "/" << h.lost << " " << h.lastUs << "/" << h.bestUs << "/" << h.avgUs << "/" << h.worstUs
           << "/" << h.stdDevUs << (h.unreachable ? " unreachable" : "") << "]";
    }
    return os << "}";
}

const char* routeReasonText(RouteReason reason) {
    return reason == RouteReason::Outage ? "outage" : "on demand";
}

RouteReason routeReasonFromText(const std::string& text) {
    return text == "outage" ? RouteReason::Outage : RouteReason::OnDemand;
}
