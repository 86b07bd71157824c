#include "history/HistoryRecords.h"

std::ostream& operator<<(std::ostream& os, const Outage& o) {
    os << "{" << o.host << " " << o.address << " from " << o.startMs << " to ";
    if (o.endMs)
        os << *o.endMs;
    else
        os << "ongoing";
    os << ", first status " << o.firstStatus << " at ";
    if (o.firstErrorMs)
        os << *o.firstErrorMs;
    else
        os << "none";
    os << ", Bad at " << o.verdictMs;
    if (o.routeId) {
        os << ", route " << *o.routeId << " loss from ";
        if (o.lossBeginsAt)
            os << "hop " << *o.lossBeginsAt << " " << o.lossAddress;
        else
            os << "nowhere";
    }
    return os << "}";
}

std::ostream& operator<<(std::ostream& os, const StatusChange& c) {
    return os << "{" << c.atMs << ": " << static_cast<int>(c.status) << "}";
}
