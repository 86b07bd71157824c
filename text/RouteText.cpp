#include "text/RouteText.h"

#include <cstdio>

namespace {

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

} // namespace

namespace RouteText {

std::string milliseconds(std::uint32_t micros) {
    return format("%.1f", micros / 1000.0);
}

std::string lossPercent(const RouteHop& hop) {
    return format("%.1f%%", hop.lossPercent());
}

std::string firstAddress(const RouteHop& hop) {
    return hop.answered.empty() ? kUnknownAddress : hop.answered.front().text();
}

std::string lossLine(const RouteResult& result) {
    if (!result.lossBeginsAt)
        return "No loss on the path";
    std::string address = kUnknownAddress;
    for (const RouteHop& hop : result.hops)
        if (hop.number == *result.lossBeginsAt)
            address = firstAddress(hop);
    return "Loss begins at hop " + std::to_string(*result.lossBeginsAt) + " (" + address + ")";
}

std::string lossLine(std::optional<int> hop, const std::string& address) {
    if (!hop)
        return "No loss on the path";
    return "Loss begins at hop " + std::to_string(*hop) + " (" + (address.empty() ? kUnknownAddress : address) + ")";
}

std::string where(std::optional<int> hop, const std::string& address) {
    if (!hop)
        return "no loss on the path";
    return "hop " + std::to_string(*hop) + (address.empty() ? "" : ", " + address);
}

} // namespace RouteText
