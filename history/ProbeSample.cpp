#include "history/ProbeSample.h"

std::ostream& operator<<(std::ostream& os, const ProbeSample& s) {
    os << "{at " << s.atMs << " ms, host \"" << s.host << "\", address \"" << s.address << "\", rtt ";
    if (s.rttUs)
        os << *s.rttUs << " us";
    else
        os << "none";
    os << ", status " << s.status << ", ttl ";
    if (s.ttl)
        os << *s.ttl;
    else
        os << "none";
    return os << ", host status " << static_cast<int>(s.hostStatus) << "}";
}

void PrintTo(const ProbeSample& s, std::ostream* os) {
    *os << s;
}
