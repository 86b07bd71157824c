#include "metrics/MetricsSnapshot.h"

std::ostream& operator<<(std::ostream& os, const SeriesSnapshot& s) {
    os << "{host=\"" << s.host << "\" address=\"" << s.address << "\"" << s.labels << " requests=" << s.requests
       << " lost=" << s.lost << " buckets=[";
    for (std::size_t i = 0; i < s.rttBuckets.size(); ++i)
        os << (i ? "," : "") << s.rttBuckets[i];
    os << "] sumMicros=" << s.rttSumMicros << " last=";
    if (s.lastRttMicros)
        os << *s.lastRttMicros;
    else
        os << "none";
    os << " routeLossBeginsHop=";
    if (s.routeLossBeginsHop)
        os << *s.routeLossBeginsHop;
    else
        os << "none";
    os << " ttl=";
    if (s.lastTtl)
        os << unsigned{*s.lastTtl};
    else
        os << "none";
    return os << " status=" << s.status << " (" << static_cast<unsigned>(s.status) << ")}";
}

std::ostream& operator<<(std::ostream& os, const MetricsSnapshot& s) {
    os << "version " << s.version << " started " << s.processStartMicros << " us";
    for (const SeriesSnapshot& series : s.series)
        os << "\n  " << series;
    return os;
}
