#include "engine/ProbeObserver.h"

#include <ostream>

void PrintTo(const ProbeEvent& e, std::ostream* os) {
    *os << "{at " << e.unixMs << " ms, host \"" << e.host << "\", address " << e.address << ", status " << e.status;
    if (e.rttUs)
        *os << ", rtt " << *e.rttUs << " us";
    if (e.ttl)
        *os << ", ttl " << unsigned{*e.ttl};
    *os << ", host status " << unsigned{e.hostStatus};
    *os << '}';
}
