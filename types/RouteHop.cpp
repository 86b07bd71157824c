#include "types/RouteHop.h"

#include <ostream>

double RouteHop::lossPercent() const {
    return sent == 0 ? 0.0 : static_cast<double>(lost()) / sent * 100.0;
}

void PrintTo(const RouteHop& hop, std::ostream* os) {
    *os << "{hop " << int{hop.number} << " [";
    for (std::size_t i = 0; i < hop.answered.size(); ++i)
        *os << (i == 0 ? "" : " ") << hop.answered[i].text();
    *os << "] " << hop.received << "/" << hop.sent << " last=" << hop.lastUs << " best=" << hop.bestUs
        << " avg=" << hop.averageUs << " worst=" << hop.worstUs << " sd=" << hop.stdDevUs << "us"
        << (hop.unreachable ? " unreachable" : "") << "}";
}
