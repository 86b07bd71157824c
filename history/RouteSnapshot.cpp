#include "history/RouteSnapshot.h"

std::string RouteSnapshot::lossAddress() const {
    if (!lossBeginsAt)
        return {};
    for (const RouteHop& h : hops)
        if (h.number == *lossBeginsAt)
            return h.answered.empty() ? std::string() : h.answered.front().text();
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
    for (const RouteHop& h : s.hops) {
        os << " ";
        PrintTo(h, &os);
    }
    return os << "}";
}

const char* routeReasonText(RouteReason reason) {
    return reason == RouteReason::Outage ? "outage" : "on demand";
}

RouteReason routeReasonFromText(const std::string& text) {
    return text == "outage" ? RouteReason::Outage : RouteReason::OnDemand;
}
